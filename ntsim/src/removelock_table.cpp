#include "removelock_table.h"

namespace ntsim {

std::vector<RemoveLockRecord::Hold> RemoveLockRecord::allHolds() const {
  std::vector<Hold> all;
  for (const Shard& shard : shards) all.insert(all.end(), shard.holds.begin(), shard.holds.end());
  return all;
}

size_t RemoveLockTable::home(PIO_REMOVE_LOCK lock) {
  auto address = reinterpret_cast<uintptr_t>(lock);
  return static_cast<size_t>((static_cast<uint64_t>(address >> 3) * 0x9E3779B97F4A7C15ull) >> (64 - kSlotBits));
}

RemoveLockRecord* RemoveLockTable::find(PIO_REMOVE_LOCK lock) const {
  for (size_t i = 0, at = home(lock); i < kSlots; ++i, at = (at + 1) & (kSlots - 1)) {
    PIO_REMOVE_LOCK key = slots_[at].key.load(std::memory_order_acquire);
    if (key == lock) return slots_[at].record.load(std::memory_order_relaxed);
    if (key == nullptr) break;
  }
  if (!overflowed_.load(std::memory_order_acquire)) return nullptr;
  std::lock_guard guard(mutex_);
  auto it = overflow_.find(lock);
  return it == overflow_.end() ? nullptr : it->second;
}

RemoveLockRecord& RemoveLockTable::findOrAdd(PIO_REMOVE_LOCK lock) {
  if (RemoveLockRecord* known = find(lock)) return *known;
  std::lock_guard guard(mutex_);
  for (size_t i = 0, at = home(lock); i < kSlots; ++i, at = (at + 1) & (kSlots - 1)) {
    PIO_REMOVE_LOCK key = slots_[at].key.load(std::memory_order_relaxed);
    if (key == lock) return *slots_[at].record.load(std::memory_order_relaxed);  // added meanwhile
    if (key != nullptr) continue;
    RemoveLockRecord& record = records_.emplace_back(lock);
    slots_[at].record.store(&record, std::memory_order_relaxed);
    slots_[at].key.store(lock, std::memory_order_release);  // publishes the record with it
    return record;
  }
  auto it = overflow_.find(lock);
  if (it != overflow_.end()) return *it->second;
  RemoveLockRecord& record = records_.emplace_back(lock);
  overflow_.emplace(lock, &record);
  overflowed_.store(true, std::memory_order_release);
  return record;
}

}  // namespace ntsim
