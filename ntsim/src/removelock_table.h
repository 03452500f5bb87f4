// The remove locks ntsim has seen initialised, and the acquisitions each one
// holds (tag, file, line), as Driver Verifier tracks them.
//
// One lock guards the table and every record in it; the records are found
// by a binary search of their locks' addresses (a machine has a remove lock
// per device, and every request looks one up twice). A record outlives the
// memory of its lock (it is marked not live when the device goes), so a late
// call on a deleted lock finds a record that says so, never freed memory.
#pragma once

#include "spinlock.h"

#include <wdm.h>

#include <algorithm>
#include <deque>
#include <utility>
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
  bool live = false;         // initialised, and its memory still there
  bool initialHeld = false;  // the count's initial 1, until a remove-and-wait drops it
  std::vector<Hold> holds;   // in acquisition order
};

class RemoveLockTable {
 public:
  // Held while a record is looked up, read or changed.
  SpinLock guard;

  // The lock's record, or nullptr when it was never initialised.
  RemoveLockRecord* find(PIO_REMOVE_LOCK lock) {
    auto it = slotOf(lock);
    return it != index_.end() && it->first == lock ? it->second : nullptr;
  }
  // The lock's record, made when the lock is new.
  RemoveLockRecord& findOrAdd(PIO_REMOVE_LOCK lock) {
    auto it = slotOf(lock);
    if (it != index_.end() && it->first == lock) return *it->second;
    RemoveLockRecord& record = records_.emplace_back(lock);
    index_.insert(it, {lock, &record});
    return record;
  }
  // Calls f(record) for every record ever made, oldest first.
  template <typename F>
  void forEach(F&& f) {
    for (RemoveLockRecord& record : records_) f(record);
  }

 private:
  using Index = std::vector<std::pair<PIO_REMOVE_LOCK, RemoveLockRecord*>>;
  Index::iterator slotOf(PIO_REMOVE_LOCK lock) {
    return std::lower_bound(index_.begin(), index_.end(), lock,
                            [](const auto& entry, PIO_REMOVE_LOCK key) { return entry.first < key; });
  }

  std::deque<RemoveLockRecord> records_;
  Index index_;  // sorted by the lock's address
};

}  // namespace ntsim
