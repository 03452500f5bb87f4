// Remove locks, with the tag tracking Driver Verifier does.
//
// The count starts at 1. An acquire adds one; once the lock is removed an
// acquire fails with STATUS_DELETE_PENDING and changes nothing.
// IoReleaseRemoveLockAndWaitEx marks the lock removed, drops the caller's
// acquisition and the initial count, and waits for the count to reach zero.
//
// The count is the initial one plus the holds the lock's record keeps; every
// acquire and release changes both under the table's lock and writes the
// count into the driver's IO_REMOVE_LOCK, where a debugger would read it.
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

std::atomic_ref<BOOLEAN> removedOf(PIO_REMOVE_LOCK lock) { return std::atomic_ref<BOOLEAN>(lock->Removed); }

// The whole count, with the table's lock held; also written into the lock.
LONG wholeCount(RemoveLockRecord& record) {
  LONG count = static_cast<LONG>(record.holds.size()) + (record.initialHeld ? 1 : 0);
  if (record.live) {  // else the lock's memory is gone
    std::atomic_ref<volatile LONG>(record.lock->IoCount).store(count, std::memory_order_relaxed);
  }
  return count;
}

LONG wholeCountOf(MachineState& s, RemoveLockRecord& record) {
  std::lock_guard held(s.removeLocks.guard);
  return wholeCount(record);
}

// Takes back the most recent acquisition with the tag; says whether there was one.
bool takeHold(RemoveLockRecord& record, PVOID tag) {
  auto& holds = record.holds;
  for (size_t i = holds.size(); i-- > 0;) {
    if (holds[i].tag != tag) continue;
    holds.erase(holds.begin() + static_cast<std::ptrdiff_t>(i));
    return true;
  }
  return false;
}

}  // namespace

LONG Machine::removeLockCount(PIO_REMOVE_LOCK lock) const {
  std::lock_guard held(state_->removeLocks.guard);
  RemoveLockRecord* record = state_->removeLocks.find(lock);
  if (record == nullptr) return std::atomic_ref<volatile LONG>(lock->IoCount).load();
  return wholeCount(*record);
}

std::vector<PVOID> Machine::removeLockTags(PIO_REMOVE_LOCK lock) const {
  std::vector<PVOID> tags;
  std::lock_guard held(state_->removeLocks.guard);
  RemoveLockRecord* record = state_->removeLocks.find(lock);
  if (record == nullptr || !record->live) return tags;
  for (const auto& hold : record->holds) tags.push_back(hold.tag);
  return tags;
}

std::vector<RemoveLockHold> Machine::removeLockHolds(PIO_REMOVE_LOCK lock) const {
  std::vector<RemoveLockHold> holds;
  std::lock_guard held(state_->removeLocks.guard);
  RemoveLockRecord* record = state_->removeLocks.find(lock);
  if (record == nullptr || !record->live) return holds;
  for (const auto& hold : record->holds) holds.push_back({hold.tag, hold.file ? hold.file : "", hold.line});
  return holds;
}

// Called when the memory a lock lives in goes away (IoDeleteDevice).
void forgetRemoveLocksIn(MachineState& s, const void* begin, size_t bytes, const std::string& owner, bool removing) {
  std::vector<std::string> held;
  std::vector<std::string> notAwaited;
  auto low = reinterpret_cast<uintptr_t>(begin);
  {
    std::lock_guard guarded(s.removeLocks.guard);
    s.removeLocks.forEach([&](RemoveLockRecord& record) {
      auto address = reinterpret_cast<uintptr_t>(record.lock);
      if (address < low || address >= low + bytes || !record.live) return;
      if (removing && record.initialHeld) notAwaited.push_back(lockName(record.lock));
      for (const auto& hold : record.holds) {
        held.push_back(lockName(record.lock) + " held with tag " + hex(reinterpret_cast<uintptr_t>(hold.tag)) +
                       " acquired at " + (hold.file ? hold.file : "(null)") + ":" + std::to_string(hold.line));
      }
      record.holds.clear();
      record.live = false;
    });
  }
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
  bool twice;
  {
    std::lock_guard held(s.removeLocks.guard);
    ntsim::RemoveLockRecord& record = s.removeLocks.findOrAdd(Lock);
    twice = record.live;
    record.holds.clear();
    record.holds.reserve(16);
    std::memset(Lock, 0, sizeof *Lock);
    Lock->AllocateTag = AllocateTag;
    Lock->MaxLockedMinutes = MaxLockedMinutes;
    Lock->HighWatermark = HighWatermark;
    Lock->Signature = 0x4c4d5352;  // "RSML"
    Lock->IoCount = 1;
    record.initialHeld = true;
    record.live = true;
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
  {
    std::lock_guard held(s.removeLocks.guard);
    ntsim::RemoveLockRecord* record = s.removeLocks.find(RemoveLock);
    if (record != nullptr && record->live) {
      // Once removal began, acquisitions fail; the wait adds up the count under this lock too.
      if (ntsim::removedOf(RemoveLock).load()) return STATUS_DELETE_PENDING;
      record->holds.push_back({Tag, File, Line});
      ntsim::wholeCount(*record);
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
  bool found = false;
  LONG count = 0;
  {
    std::lock_guard held(s.removeLocks.guard);
    ntsim::RemoveLockRecord* record = s.removeLocks.find(RemoveLock);
    found = record != nullptr && record->live && ntsim::takeHold(*record, Tag);
    if (found) count = ntsim::wholeCount(*record);
  }
  if (!found) {
    s.report("REMOVE_LOCK_RELEASE_UNKNOWN_TAG", "IoReleaseRemoveLockEx on " + ntsim::lockName(RemoveLock) +
                                                    " with tag " + ntsim::hex(reinterpret_cast<uintptr_t>(Tag)) +
                                                    ", which holds no acquisition (0xC4/0xD5)");
    return;
  }
  if (count == 0 && ntsim::removedOf(RemoveLock).load()) {
    // Wakes the remove-and-wait.
    std::lock_guard guard(s.waitMutex);
    s.waitCv.notify_all();
  }
}

void IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
  auto& s = M();
  if (RemoveLock == nullptr) {
    s.report("BAD_ARGUMENT", "IoReleaseRemoveLockAndWaitEx with a NULL lock");
    return;
  }
  ntsim::RemoveLockRecord* record;
  {
    std::lock_guard held(s.removeLocks.guard);
    record = s.removeLocks.find(RemoveLock);
    if (record != nullptr && !record->live) record = nullptr;
  }
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
    std::lock_guard held(s.removeLocks.guard);
    record->initialHeld = false;
  }
  std::unique_lock lock(s.waitMutex);
  bool drained = s.waitCv.wait_for(lock, s.hangTimeout, [&] { return ntsim::wholeCountOf(s, *record) <= 0; });
  lock.unlock();
  if (!drained) {
    s.report("REMOVE_LOCK_NEVER_DRAINED", "IoReleaseRemoveLockAndWaitEx on " + ntsim::lockName(RemoveLock) +
                                              " still counted " + std::to_string(ntsim::wholeCountOf(s, *record)) +
                                              " after the hang timeout");
  }
}

}  // extern "C"
