// Remove locks, with the tag tracking Driver Verifier does.
//
// The count starts at 1. An acquire adds one; once the lock is removed an
// acquire fails with STATUS_DELETE_PENDING and changes nothing.
// IoReleaseRemoveLockAndWaitEx marks the lock removed, drops the caller's
// acquisition and the initial count, and waits for the count to reach zero.
//
// The count is the initial one plus the holds the record keeps, shard by
// shard: an acquire or release touches only its own shard, under that
// shard's guard, and so shares no cache line with threads on other shards.
// The whole count is added up under every shard's guard (and written into
// the driver's IO_REMOVE_LOCK then, where a debugger would read it); a
// release adds it up only once the lock is marked removed, to wake the wait.
#include "removelock.h"
#include "state.h"

namespace ntsim {
namespace {

std::string lockName(PIO_REMOVE_LOCK lock) { return "remove lock " + hex(reinterpret_cast<uintptr_t>(lock)); }

[[gnu::cold, gnu::noinline]] void reportBadSize(MachineState& s, const char* routine, PIO_REMOVE_LOCK lock,
                                                ULONG size) {
  s.report("REMOVE_LOCK_BAD_SIZE", std::string(routine) + " on " + lockName(lock) + " with size " + hex(size) +
                                       "; sizeof(IO_REMOVE_LOCK) is " + hex(sizeof(IO_REMOVE_LOCK)));
}

bool checkSize(MachineState& s, const char* routine, PIO_REMOVE_LOCK lock, ULONG size) {
  if (size == sizeof(IO_REMOVE_LOCK)) [[likely]]
    return true;
  reportBadSize(s, routine, lock, size);
  return false;
}

// The record of an initialised lock whose memory is still there, or nullptr.
RemoveLockRecord* liveRecord(MachineState& s, PIO_REMOVE_LOCK lock) {
  RemoveLockRecord* record = s.removeLocks.find(lock);
  return record != nullptr && record->live.load(std::memory_order_acquire) ? record : nullptr;
}

std::atomic_ref<BOOLEAN> removedOf(PIO_REMOVE_LOCK lock) { return std::atomic_ref<BOOLEAN>(lock->Removed); }

// The whole count, with every shard's guard held; also written into the lock.
LONG wholeCount(RemoveLockRecord& record) {
  size_t holds = 0;
  for (const auto& shard : record.shards) holds += shard.holds.size();
  LONG count = static_cast<LONG>(holds) + (record.initialHeld ? 1 : 0);
  if (record.live.load(std::memory_order_relaxed)) {  // else the lock's memory is gone
    std::atomic_ref<volatile LONG>(record.lock->IoCount).store(count, std::memory_order_relaxed);
  }
  return count;
}

LONG wholeCountOf(RemoveLockRecord& record) {
  AllShardsGuard guard(record);
  return wholeCount(record);
}

// Takes back the most recent acquisition with the tag from the shard, whose
// guard is held; says whether there was one.
bool takeHold(RemoveLockRecord::Shard& shard, PVOID tag) {
  auto& holds = shard.holds;
  for (size_t i = holds.size(); i-- > 0;) {
    if (holds[i].tag != tag) continue;
    holds.erase(holds.begin() + static_cast<std::ptrdiff_t>(i));
    return true;
  }
  return false;
}

// A release of an acquisition made on another thread: the first shard
// holding the tag gives back its most recent acquisition with it.
bool takeHoldElsewhere(RemoveLockRecord& record, PVOID tag) {
  AllShardsGuard guard(record);
  if (!record.live.load(std::memory_order_relaxed)) return false;
  for (auto& shard : record.shards) {
    if (takeHold(shard, tag)) return true;
  }
  return false;
}

// Wakes a remove-and-wait if the count reached zero.
void wakeDrainIfZero(MachineState& s, RemoveLockRecord& record) {
  if (wholeCountOf(record) != 0) return;
  std::lock_guard guard(s.waitMutex);
  s.waitCv.notify_all();
}

}  // namespace

LONG Machine::removeLockCount(PIO_REMOVE_LOCK lock) const {
  RemoveLockRecord* record = state_->removeLocks.find(lock);
  if (record == nullptr) return std::atomic_ref<volatile LONG>(lock->IoCount).load();
  return wholeCountOf(*record);
}

std::vector<PVOID> Machine::removeLockTags(PIO_REMOVE_LOCK lock) const {
  std::vector<PVOID> tags;
  RemoveLockRecord* record = state_->removeLocks.find(lock);
  if (record == nullptr) return tags;
  AllShardsGuard guard(*record);
  if (!record->live.load(std::memory_order_relaxed)) return tags;
  for (const auto& hold : record->allHolds()) tags.push_back(hold.tag);
  return tags;
}

std::vector<RemoveLockHold> Machine::removeLockHolds(PIO_REMOVE_LOCK lock) const {
  std::vector<RemoveLockHold> holds;
  RemoveLockRecord* record = state_->removeLocks.find(lock);
  if (record == nullptr) return holds;
  AllShardsGuard guard(*record);
  if (!record->live.load(std::memory_order_relaxed)) return holds;
  for (const auto& hold : record->allHolds()) holds.push_back({hold.tag, hold.file ? hold.file : "", hold.line});
  return holds;
}

// Called when the memory a lock lives in goes away (IoDeleteDevice).
void forgetRemoveLocksIn(MachineState& s, const void* begin, size_t bytes, const std::string& owner, bool removing) {
  std::vector<std::string> held;
  std::vector<std::string> notAwaited;
  auto low = reinterpret_cast<uintptr_t>(begin);
  s.removeLocks.forEach([&](RemoveLockRecord& record) {
    auto address = reinterpret_cast<uintptr_t>(record.lock);
    if (address < low || address >= low + bytes) return;
    AllShardsGuard guard(record);
    if (!record.live.load(std::memory_order_relaxed)) return;
    if (removing && record.initialHeld) notAwaited.push_back(lockName(record.lock));
    for (const auto& hold : record.allHolds()) {
      held.push_back(lockName(record.lock) + " held with tag " + hex(reinterpret_cast<uintptr_t>(hold.tag)) +
                     " acquired at " + (hold.file ? hold.file : "(null)") + ":" + std::to_string(hold.line));
    }
    for (auto& shard : record.shards) shard.holds.clear();
    record.live.store(false, std::memory_order_release);
  });
  for (auto& text : held) s.report("REMOVE_LOCK_HELD_AT_DELETE", text + " when " + owner + " was deleted");
  for (auto& text : notAwaited) {
    s.report("REMOVE_LOCK_NOT_AWAITED", text + " of " + owner +
                                            " was never released with IoReleaseRemoveLockAndWait before the removed "
                                            "device was deleted (Static Driver Verifier: RemoveLockMnRemove)");
  }
}

}  // namespace ntsim

using ntsim::M;

extern "C" {

void IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG AllocateTag, ULONG MaxLockedMinutes, ULONG HighWatermark,
                              ULONG RemlockSize) {
  auto& s = M();
  if (Lock == nullptr) {
    s.report("BAD_ARGUMENT", "IoInitializeRemoveLockEx with a NULL lock");
    return;
  }
  if (!ntsim::checkSize(s, "IoInitializeRemoveLockEx", Lock, RemlockSize)) return;
  ntsim::RemoveLockRecord& record = s.removeLocks.findOrAdd(Lock);
  bool twice;
  {
    ntsim::AllShardsGuard guard(record);
    twice = record.live.load(std::memory_order_relaxed);
    for (auto& shard : record.shards) {
      shard.holds.clear();
      shard.holds.reserve(16);
    }
    std::memset(Lock, 0, sizeof *Lock);
    Lock->AllocateTag = AllocateTag;
    Lock->MaxLockedMinutes = MaxLockedMinutes;
    Lock->HighWatermark = HighWatermark;
    Lock->Signature = 0x4c4d5352;  // "RSML"
    Lock->IoCount = 1;
    record.initialHeld = true;
    record.live.store(true, std::memory_order_release);
  }
  if (twice) s.report("REMOVE_LOCK_INITIALISED_TWICE", ntsim::lockName(Lock) + " initialised a second time");
}

NTSTATUS IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR File, ULONG Line, ULONG RemlockSize) {
  auto& s = M();
  if (RemoveLock == nullptr) {
    s.report("BAD_ARGUMENT", "IoAcquireRemoveLockEx with a NULL lock");
    return STATUS_INVALID_PARAMETER;
  }
  ntsim::checkSize(s, "IoAcquireRemoveLockEx", RemoveLock, RemlockSize);
  ntsim::RemoveLockRecord* record = s.removeLocks.find(RemoveLock);
  bool known = false;
  if (record != nullptr) {
    auto& shard = record->shardOfThisThread();
    std::lock_guard guard(shard.guard);
    known = record->live.load(std::memory_order_relaxed);
    // Once removal began, acquisitions fail; the wait adds up the count under this guard too.
    if (known && ntsim::removedOf(RemoveLock).load()) return STATUS_DELETE_PENDING;
    if (known) {
      shard.holds.push_back({Tag, File, Line});
      return STATUS_SUCCESS;
    }
  }
  s.report("REMOVE_LOCK_UNKNOWN",
           "IoAcquireRemoveLockEx on " + ntsim::lockName(RemoveLock) + ", which was never initialised");
  return STATUS_INVALID_PARAMETER;
}

void IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
  auto& s = M();
  if (RemoveLock == nullptr) {
    s.report("BAD_ARGUMENT", "IoReleaseRemoveLockEx with a NULL lock");
    return;
  }
  ntsim::checkSize(s, "IoReleaseRemoveLockEx", RemoveLock, RemlockSize);
  ntsim::RemoveLockRecord* record = s.removeLocks.find(RemoveLock);
  bool found = false;
  if (record != nullptr) {
    {
      // Most releases come from the thread that acquired.
      auto& shard = record->shardOfThisThread();
      std::lock_guard guard(shard.guard);
      found = record->live.load(std::memory_order_relaxed) && ntsim::takeHold(shard, Tag);
    }
    if (!found) found = ntsim::takeHoldElsewhere(*record, Tag);
  }
  if (!found) {
    s.report("REMOVE_LOCK_RELEASE_UNKNOWN_TAG", "IoReleaseRemoveLockEx on " + ntsim::lockName(RemoveLock) +
                                                    " with tag " + ntsim::hex(reinterpret_cast<uintptr_t>(Tag)) +
                                                    ", which holds no acquisition (0xC4/0xD5)");
    return;
  }
  if (ntsim::removedOf(RemoveLock).load()) ntsim::wakeDrainIfZero(s, *record);
}

void IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
  auto& s = M();
  if (RemoveLock == nullptr) {
    s.report("BAD_ARGUMENT", "IoReleaseRemoveLockAndWaitEx with a NULL lock");
    return;
  }
  ntsim::RemoveLockRecord* record = ntsim::liveRecord(s, RemoveLock);
  if (record == nullptr) {
    s.report("REMOVE_LOCK_UNKNOWN",
             "IoReleaseRemoveLockAndWaitEx on " + ntsim::lockName(RemoveLock) + ", which was never initialised");
    return;
  }
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    s.report("WAIT_AT_DISPATCH_LEVEL",
             "IoReleaseRemoveLockAndWaitEx on " + ntsim::lockName(RemoveLock) + " above PASSIVE_LEVEL");
  }
  ntsim::removedOf(RemoveLock).store(TRUE);
  IoReleaseRemoveLockEx(RemoveLock, Tag, RemlockSize);
  {
    ntsim::AllShardsGuard guard(*record);
    record->initialHeld = false;
  }
  std::unique_lock lock(s.waitMutex);
  bool drained = s.waitCv.wait_for(lock, s.hangTimeout, [&] { return ntsim::wholeCountOf(*record) <= 0; });
  lock.unlock();
  if (!drained) {
    s.report("REMOVE_LOCK_NEVER_DRAINED", "IoReleaseRemoveLockAndWaitEx on " + ntsim::lockName(RemoveLock) +
                                              " still counted " + std::to_string(ntsim::wholeCountOf(*record)) +
                                              " after the hang timeout");
  }
}

}  // extern "C"
