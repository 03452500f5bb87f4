// Remove locks, with the tag tracking Driver Verifier does.
//
// The count starts at 1. An acquire adds one; once the lock is removed an
// acquire takes its increment back and fails with STATUS_DELETE_PENDING.
// IoReleaseRemoveLockAndWaitEx marks the lock removed, drops the caller's
// acquisition and the initial count, and waits for the count to reach zero.
//
// The count lives in the driver's IO_REMOVE_LOCK; ntsim changes it only
// under the lock's record guard, together with the holds, so that the two
// always agree. Readers (the wait, Machine::removeLockCount) read it atomically.
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
  if (size == sizeof(IO_REMOVE_LOCK)) [[likely]] return true;
  reportBadSize(s, routine, lock, size);
  return false;
}

// The record of an initialised lock whose memory is still there, or nullptr.
RemoveLockRecord* liveRecord(MachineState& s, PIO_REMOVE_LOCK lock) {
  RemoveLockRecord* record = s.removeLocks.find(lock);
  if (record == nullptr) return nullptr;
  std::lock_guard guard(record->guard);
  return record->live ? record : nullptr;
}

std::atomic_ref<volatile LONG> countOf(PIO_REMOVE_LOCK lock) { return std::atomic_ref<volatile LONG>(lock->IoCount); }

// Adds to the count (under the record's guard); returns the new count.
LONG addCount(PIO_REMOVE_LOCK lock, LONG delta) {
  LONG count = countOf(lock).load(std::memory_order_relaxed) + delta;
  countOf(lock).store(count, std::memory_order_release);
  return count;
}

// Wakes a remove-and-wait once the count reached zero.
void wakeDrain(MachineState& s) {
  std::lock_guard guard(s.waitMutex);
  s.waitCv.notify_all();
}

}  // namespace

LONG Machine::removeLockCount(PIO_REMOVE_LOCK lock) const { return countOf(lock).load(); }

std::vector<PVOID> Machine::removeLockTags(PIO_REMOVE_LOCK lock) const {
  std::vector<PVOID> tags;
  RemoveLockRecord* record = state_->removeLocks.find(lock);
  if (record == nullptr) return tags;
  std::lock_guard guard(record->guard);
  if (!record->live) return tags;
  for (const auto& hold : record->holds) tags.push_back(hold.tag);
  return tags;
}

// Called when the memory a lock lives in goes away (IoDeleteDevice).
void forgetRemoveLocksIn(MachineState& s, const void* begin, size_t bytes, const std::string& owner) {
  std::vector<std::string> held;
  auto low = reinterpret_cast<uintptr_t>(begin);
  s.removeLocks.forEach([&](RemoveLockRecord& record) {
    auto address = reinterpret_cast<uintptr_t>(record.lock);
    if (address < low || address >= low + bytes) return;
    std::lock_guard guard(record.guard);
    if (!record.live) return;
    for (const auto& hold : record.holds) {
      held.push_back(lockName(record.lock) + " held with tag " + hex(reinterpret_cast<uintptr_t>(hold.tag)) +
                     " acquired at " + (hold.file ? hold.file : "(null)") + ":" + std::to_string(hold.line));
    }
    record.holds.clear();
    record.live = false;
  });
  for (auto& text : held) s.report("REMOVE_LOCK_HELD_AT_DELETE", text + " when " + owner + " was deleted");
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
    std::lock_guard guard(record.guard);
    twice = record.live;
    record.live = true;
    record.holds.clear();
    record.holds.reserve(16);
    std::memset(Lock, 0, sizeof *Lock);
    Lock->AllocateTag = AllocateTag;
    Lock->MaxLockedMinutes = MaxLockedMinutes;
    Lock->HighWatermark = HighWatermark;
    Lock->Signature = 0x4c4d5352;  // "RSML"
    ntsim::countOf(Lock).store(1);
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
    std::lock_guard guard(record->guard);
    if (record->live) {
      known = true;
      if (std::atomic_ref<BOOLEAN>(RemoveLock->Removed).load()) return STATUS_DELETE_PENDING;
      ntsim::addCount(RemoveLock, 1);
      record->holds.push_back({Tag, File, Line});
    }
  }
  if (!known) {
    s.report("REMOVE_LOCK_UNKNOWN", "IoAcquireRemoveLockEx on " + ntsim::lockName(RemoveLock) +
                                        ", which was never initialised");
    return STATUS_INVALID_PARAMETER;
  }
  return STATUS_SUCCESS;
}

void IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
  auto& s = M();
  if (RemoveLock == nullptr) {
    s.report("BAD_ARGUMENT", "IoReleaseRemoveLockEx with a NULL lock");
    return;
  }
  ntsim::checkSize(s, "IoReleaseRemoveLockEx", RemoveLock, RemlockSize);
  bool found = false;
  LONG left = 1;
  if (ntsim::RemoveLockRecord* record = s.removeLocks.find(RemoveLock)) {
    std::lock_guard guard(record->guard);
    auto& holds = record->holds;
    // The most recent acquisition with the tag goes, as the kernel's tracking list finds it first.
    for (size_t i = holds.size(); record->live && i-- > 0;) {
      if (holds[i].tag != Tag) continue;
      holds.erase(holds.begin() + static_cast<std::ptrdiff_t>(i));
      left = ntsim::addCount(RemoveLock, -1);
      found = true;
      break;
    }
  }
  if (!found) {
    s.report("REMOVE_LOCK_RELEASE_UNKNOWN_TAG", "IoReleaseRemoveLockEx on " + ntsim::lockName(RemoveLock) +
                                                    " with tag " + ntsim::hex(reinterpret_cast<uintptr_t>(Tag)) +
                                                    ", which holds no acquisition (0xC4/0xD5)");
    return;
  }
  if (left == 0) ntsim::wakeDrain(s);
}

void IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
  auto& s = M();
  if (RemoveLock == nullptr) {
    s.report("BAD_ARGUMENT", "IoReleaseRemoveLockAndWaitEx with a NULL lock");
    return;
  }
  ntsim::RemoveLockRecord* record = ntsim::liveRecord(s, RemoveLock);
  if (record == nullptr) {
    s.report("REMOVE_LOCK_UNKNOWN", "IoReleaseRemoveLockAndWaitEx on " + ntsim::lockName(RemoveLock) +
                                        ", which was never initialised");
    return;
  }
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    s.report("WAIT_AT_DISPATCH_LEVEL", "IoReleaseRemoveLockAndWaitEx on " + ntsim::lockName(RemoveLock) +
                                           " above PASSIVE_LEVEL");
  }
  {
    std::lock_guard guard(record->guard);
    std::atomic_ref<BOOLEAN>(RemoveLock->Removed).store(TRUE);
  }
  IoReleaseRemoveLockEx(RemoveLock, Tag, RemlockSize);
  LONG left;
  {
    std::lock_guard guard(record->guard);
    left = ntsim::addCount(RemoveLock, -1);  // the initial count
  }
  if (left == 0) ntsim::wakeDrain(s);
  std::unique_lock lock(s.waitMutex);
  bool drained = s.waitCv.wait_for(lock, s.hangTimeout, [&] { return ntsim::countOf(RemoveLock).load() <= 0; });
  lock.unlock();
  if (!drained) {
    s.report("REMOVE_LOCK_NEVER_DRAINED", "IoReleaseRemoveLockAndWaitEx on " + ntsim::lockName(RemoveLock) +
                                              " still counted " + std::to_string(ntsim::countOf(RemoveLock).load()) +
                                              " after the hang timeout");
  }
}

}  // extern "C"
