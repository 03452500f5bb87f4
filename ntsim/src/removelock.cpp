// Remove locks, with the tag tracking Driver Verifier does.
//
// The count starts at 1. An acquire adds one; once the lock is removed an
// acquire takes its increment back and fails with STATUS_DELETE_PENDING.
// IoReleaseRemoveLockAndWaitEx marks the lock removed, drops the caller's
// acquisition and the initial count, and waits for the count to reach zero.
#include "state.h"

namespace ntsim {

void signalWaiters();

namespace {

std::string lockName(PIO_REMOVE_LOCK lock) { return "remove lock " + hex(reinterpret_cast<uintptr_t>(lock)); }

bool checkSize(MachineState& s, const char* routine, PIO_REMOVE_LOCK lock, ULONG size) {
  if (size == sizeof(IO_REMOVE_LOCK)) return true;
  s.report("REMOVE_LOCK_BAD_SIZE", std::string(routine) + " on " + lockName(lock) + " with size " + hex(size) +
                                       "; sizeof(IO_REMOVE_LOCK) is " + hex(sizeof(IO_REMOVE_LOCK)));
  return false;
}

bool isKnown(MachineState& s, PIO_REMOVE_LOCK lock) {
  std::lock_guard guard(s.lockMutex);
  return s.removeLocks.count(lock) != 0;
}

// Takes one count back; wakes a remove-and-wait when it reaches zero.
void dropCount(MachineState& s, PIO_REMOVE_LOCK lock) {
  LONG left = std::atomic_ref<volatile LONG>(lock->IoCount).fetch_sub(1) - 1;
  if (left == 0) {
    std::lock_guard guard(s.waitMutex);
    s.waitCv.notify_all();
  }
}

}  // namespace

LONG Machine::removeLockCount(PIO_REMOVE_LOCK lock) const {
  return std::atomic_ref<volatile LONG>(lock->IoCount).load();
}

std::vector<PVOID> Machine::removeLockTags(PIO_REMOVE_LOCK lock) const {
  std::lock_guard guard(state_->lockMutex);
  std::vector<PVOID> tags;
  auto it = state_->removeLocks.find(lock);
  if (it == state_->removeLocks.end()) return tags;
  for (const auto& hold : it->second.holds) tags.push_back(hold.tag);
  return tags;
}

// Called when the memory a lock lives in goes away (IoDeleteDevice).
void forgetRemoveLocksIn(MachineState& s, const void* begin, size_t bytes, const std::string& owner) {
  std::vector<std::string> held;
  {
    std::lock_guard guard(s.lockMutex);
    auto low = reinterpret_cast<uintptr_t>(begin);
    for (auto it = s.removeLocks.begin(); it != s.removeLocks.end();) {
      auto address = reinterpret_cast<uintptr_t>(it->first);
      if (address >= low && address < low + bytes) {
        for (const auto& hold : it->second.holds) {
          held.push_back(lockName(it->first) + " held with tag " + hex(reinterpret_cast<uintptr_t>(hold.tag)) +
                         " acquired at " + hold.file + ":" + std::to_string(hold.line));
        }
        it = s.removeLocks.erase(it);
      } else {
        ++it;
      }
    }
  }
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
  bool twice;
  {
    std::lock_guard guard(s.lockMutex);
    twice = s.removeLocks.count(Lock) != 0;
    s.removeLocks[Lock] = ntsim::RemoveLockRecord{};
  }
  if (twice) s.report("REMOVE_LOCK_INITIALISED_TWICE", ntsim::lockName(Lock) + " initialised a second time");
  std::memset(Lock, 0, sizeof *Lock);
  Lock->IoCount = 1;
  Lock->AllocateTag = AllocateTag;
  Lock->MaxLockedMinutes = MaxLockedMinutes;
  Lock->HighWatermark = HighWatermark;
  Lock->Signature = 0x4c4d5352;  // "RSML"
}

NTSTATUS IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR File, ULONG Line, ULONG RemlockSize) {
  auto& s = M();
  if (RemoveLock == nullptr) {
    s.report("BAD_ARGUMENT", "IoAcquireRemoveLockEx with a NULL lock");
    return STATUS_INVALID_PARAMETER;
  }
  ntsim::checkSize(s, "IoAcquireRemoveLockEx", RemoveLock, RemlockSize);
  if (!ntsim::isKnown(s, RemoveLock)) {
    s.report("REMOVE_LOCK_UNKNOWN", "IoAcquireRemoveLockEx on " + ntsim::lockName(RemoveLock) +
                                        ", which was never initialised");
    return STATUS_INVALID_PARAMETER;
  }
  std::atomic_ref<volatile LONG>(RemoveLock->IoCount).fetch_add(1);
  if (std::atomic_ref<BOOLEAN>(RemoveLock->Removed).load()) {
    ntsim::dropCount(s, RemoveLock);
    return STATUS_DELETE_PENDING;
  }
  std::lock_guard guard(s.lockMutex);
  s.removeLocks[RemoveLock].holds.push_back({Tag, File ? File : "(null)", Line});
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
  {
    std::lock_guard guard(s.lockMutex);
    auto it = s.removeLocks.find(RemoveLock);
    if (it != s.removeLocks.end()) {
      auto& holds = it->second.holds;
      for (auto hold = holds.begin(); hold != holds.end(); ++hold) {
        if (hold->tag == Tag) {
          holds.erase(hold);
          found = true;
          break;
        }
      }
    }
  }
  if (!found) {
    s.report("REMOVE_LOCK_RELEASE_UNKNOWN_TAG", "IoReleaseRemoveLockEx on " + ntsim::lockName(RemoveLock) +
                                                    " with tag " + ntsim::hex(reinterpret_cast<uintptr_t>(Tag)) +
                                                    ", which holds no acquisition (0xC4/0xD5)");
    return;
  }
  ntsim::dropCount(s, RemoveLock);
}

void IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
  auto& s = M();
  if (RemoveLock == nullptr) {
    s.report("BAD_ARGUMENT", "IoReleaseRemoveLockAndWaitEx with a NULL lock");
    return;
  }
  if (!ntsim::isKnown(s, RemoveLock)) {
    s.report("REMOVE_LOCK_UNKNOWN", "IoReleaseRemoveLockAndWaitEx on " + ntsim::lockName(RemoveLock) +
                                        ", which was never initialised");
    return;
  }
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    s.report("WAIT_AT_DISPATCH_LEVEL", "IoReleaseRemoveLockAndWaitEx on " + ntsim::lockName(RemoveLock) +
                                           " above PASSIVE_LEVEL");
  }
  std::atomic_ref<BOOLEAN>(RemoveLock->Removed).store(TRUE);
  IoReleaseRemoveLockEx(RemoveLock, Tag, RemlockSize);
  ntsim::dropCount(s, RemoveLock);  // the initial count
  std::unique_lock lock(s.waitMutex);
  bool drained = s.waitCv.wait_for(lock, s.hangTimeout, [&] {
    return std::atomic_ref<volatile LONG>(RemoveLock->IoCount).load() <= 0;
  });
  lock.unlock();
  if (!drained) {
    s.report("REMOVE_LOCK_NEVER_DRAINED", "IoReleaseRemoveLockAndWaitEx on " + ntsim::lockName(RemoveLock) +
                                              " still counted " +
                                              std::to_string(std::atomic_ref<volatile LONG>(RemoveLock->IoCount).load()) +
                                              " after the hang timeout");
  }
}

}  // extern "C"
