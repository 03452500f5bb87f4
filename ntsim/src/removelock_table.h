// The remove locks ntsim has seen initialised, and the acquisitions each one
// holds (tag, file, line), as Driver Verifier tracks them.
//
// Every request a driver handles acquires and releases its remove lock, so
// finding a lock's record must not serialise the machine: the records sit in
// an open-addressed table that readers probe without a lock (a lock's slot,
// once taken, keeps its address for the life of the machine), and each
// record has its own small lock for its holds. A record outlives the memory
// of its lock (it is marked not live when the device goes), so a late call
// on a deleted lock finds a record that says so, never freed memory.
#pragma once

#include "spinlock.h"

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
  explicit RemoveLockRecord(PIO_REMOVE_LOCK at) : lock(at) {}

  const PIO_REMOVE_LOCK lock;
  SpinLock guard;           // guards what follows
  bool live = false;        // initialised, and its memory still there
  std::vector<Hold> holds;  // in acquisition order
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
