// The remove locks ntsim has seen initialised, and the acquisitions each one
// holds (tag, file, line), as Driver Verifier tracks them.
//
// Every request a driver handles acquires and releases its remove lock, so
// finding a lock's record must not serialise the machine: the records sit in
// an open-addressed table that readers probe without a lock (a lock's slot,
// once taken, keeps its address for the life of the machine). A record keeps
// its holds in a few shards, each with its own small lock and cache line,
// and a thread records its acquisitions in the shard its slot picks: threads
// serving requests side by side on one device then share only the lock's
// count, as they do on Windows. A record outlives the memory of its lock (it
// is marked not live when the device goes), so a late call on a deleted lock
// finds a record that says so, never freed memory.
#pragma once

#include "spinlock.h"
#include "thread_slot.h"

#include <wdm.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace ntsim {

struct RemoveLockRecord {
  struct Hold {
    PVOID tag;
    PCSTR file;  // kept by address, as Windows keeps it: the caller's __FILE__
    ULONG line;
  };
  struct alignas(64) Shard {
    SpinLock guard;           // guards holds, and the count's changes made with them
    std::vector<Hold> holds;  // in acquisition order
  };
  static constexpr size_t kShards = 4;

  explicit RemoveLockRecord(PIO_REMOVE_LOCK at) : lock(at) {}

  Shard& shardOfThisThread() { return shards[threadSlot() % kShards]; }
  void lockAll() {
    for (Shard& shard : shards) shard.guard.lock();
  }
  void unlockAll() {
    for (size_t i = kShards; i-- > 0;) shards[i].guard.unlock();
  }
  // Every hold, shard by shard, each shard's oldest first; with every shard's
  // guard held. The holds of one thread come out in the order it acquired
  // them; acquisitions of threads side by side have no order to keep.
  std::vector<Hold> allHolds() const;

  const PIO_REMOVE_LOCK lock;
  // Initialised, and its memory still there; changed only with every shard's guard held.
  std::atomic<bool> live{false};
  // The count's initial 1, until a remove-and-wait drops it; guarded by every shard's guard.
  bool initialHeld = false;
  Shard shards[kShards];
};

// Holds every shard's guard of a record for the scope.
class AllShardsGuard {
 public:
  explicit AllShardsGuard(RemoveLockRecord& record) : record_(record) { record_.lockAll(); }
  ~AllShardsGuard() { record_.unlockAll(); }
  AllShardsGuard(const AllShardsGuard&) = delete;
  AllShardsGuard& operator=(const AllShardsGuard&) = delete;

 private:
  RemoveLockRecord& record_;
};

class RemoveLockTable {
 public:
  // The lock's record, or nullptr when it was never initialised.
  RemoveLockRecord* find(PIO_REMOVE_LOCK lock) const;
  // The lock's record, made when the lock is new.
  RemoveLockRecord& findOrAdd(PIO_REMOVE_LOCK lock);

  // Calls f(record) for every record ever made, oldest first.
  template <typename F>
  void forEach(F&& f) {
    std::lock_guard guard(mutex_);
    for (RemoveLockRecord& record : records_) f(record);
  }

 private:
  static constexpr size_t kSlotBits = 10;
  static constexpr size_t kSlots = size_t{1} << kSlotBits;
  struct Slot {
    std::atomic<PIO_REMOVE_LOCK> key{nullptr};
    std::atomic<RemoveLockRecord*> record{nullptr};
  };
  static size_t home(PIO_REMOVE_LOCK lock);

  Slot slots_[kSlots];
  std::atomic<bool> overflowed_{false};  // some records are only in overflow_
  mutable std::mutex mutex_;             // guards records_ and overflow_, and adding
  std::deque<RemoveLockRecord> records_;
  std::unordered_map<PIO_REMOVE_LOCK, RemoveLockRecord*> overflow_;
};

}  // namespace ntsim
