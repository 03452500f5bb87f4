#include "handle_table.h"

namespace ntsim {

// Chunks are added in order: those past the last handle's were never made.
HandleTable::~HandleTable() {
  for (size_t chunk = 0; chunk < kChunks && chunk <= (next_ - 1) >> kChunkBits; ++chunk) {
    delete[] chunks_[chunk].load(std::memory_order_relaxed);
  }
}

HandleTable::Entry* HandleTable::entryOf(Handle handle) const {
  size_t chunk = handle >> kChunkBits;
  if (chunk >= kChunks) return nullptr;
  Entry* entries = chunks_[chunk].load(std::memory_order_acquire);
  return entries == nullptr ? nullptr : &entries[handle & (kChunkSize - 1)];
}

Handle HandleTable::insert(PFILE_OBJECT file) {
  std::lock_guard lock(mutex_);
  Handle handle = next_;
  size_t chunk = handle >> kChunkBits;
  if (chunk >= kChunks) return 0;
  if (chunks_[chunk].load(std::memory_order_relaxed) == nullptr) {
    chunks_[chunk].store(new Entry[kChunkSize](), std::memory_order_release);
  }
  entryOf(handle)->store(file, std::memory_order_release);
  ++next_;
  return handle;
}

PFILE_OBJECT HandleTable::find(Handle handle) const {
  Entry* entry = entryOf(handle);
  return entry == nullptr ? nullptr : entry->load(std::memory_order_acquire);
}

PFILE_OBJECT HandleTable::remove(Handle handle) {
  std::lock_guard lock(mutex_);
  Entry* entry = entryOf(handle);
  return entry == nullptr ? nullptr : entry->exchange(nullptr, std::memory_order_acq_rel);
}

std::vector<Handle> HandleTable::open() const {
  std::lock_guard lock(mutex_);
  std::vector<Handle> handles;
  for (Handle handle = 1; handle < next_; ++handle) {
    if (find(handle) != nullptr) handles.push_back(handle);
  }
  return handles;
}

}  // namespace ntsim
