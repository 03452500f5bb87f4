// IRQL per thread, events, mutexes, spin locks and waits.
//
// Every dispatcher object is signalled under the machine's one wait mutex
// and waited for on its condition variable; a wait that would outlast the
// hang timeout is reported instead of hanging the test. A mutex is taken and
// given back with atomic operations on its header alone when no one waits
// (a driver's store lock is taken on every request); a thread that must
// block counts itself in the machine's waiters, and a release that sees a
// waiter wakes the waiters under the wait mutex.
#include "sync.h"
#include "state.h"

#include <pthread.h>

#include <thread>

namespace ntsim {
namespace {

thread_local KIRQL t_irql = PASSIVE_LEVEL;

// The calling thread's identity as a mutex records its owner: never 0, and
// distinct among running threads (the thread's own handle, read directly).
ULONG_PTR currentThreadId() { return static_cast<ULONG_PTR>(pthread_self()) | 1; }

// A mutex's state (1 free, 1 - n when held n times) and owner, read and
// written atomically: the fast paths change them without the wait mutex.
std::atomic_ref<LONG> stateOf(PKMUTEX mutex) {
  return std::atomic_ref<LONG>(const_cast<LONG&>(mutex->Header.SignalState));
}
std::atomic_ref<ULONG_PTR> ownerOf(PKMUTEX mutex) {
  return std::atomic_ref<ULONG_PTR>(const_cast<ULONG_PTR&>(mutex->OwnerThread));
}

// Takes the mutex if it is free or already the caller's; true when taken.
bool tryAcquireMutex(PKMUTEX mutex) {
  const ULONG_PTR me = currentThreadId();
  if (ownerOf(mutex).load(std::memory_order_relaxed) == me) {
    // Only the owner changes the state of a held mutex.
    stateOf(mutex).store(stateOf(mutex).load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
    return true;
  }
  LONG expected = 1;
  if (!stateOf(mutex).compare_exchange_strong(expected, 0, std::memory_order_acquire, std::memory_order_relaxed)) {
    return false;
  }
  ownerOf(mutex).store(me, std::memory_order_relaxed);
  return true;
}

// Consumes the object's signal if it is signalled; true when the wait is satisfied.
bool trySatisfy(DISPATCHER_HEADER* header) {
  switch (header->Type) {
    case NTSIM_EVENT_NOTIFICATION: return header->SignalState != 0;
    case NTSIM_EVENT_SYNCHRONIZATION:
      if (header->SignalState == 0) return false;
      header->SignalState = 0;
      return true;
    case NTSIM_MUTANT: return tryAcquireMutex(reinterpret_cast<PKMUTEX>(header));
    case NTSIM_THREAD:
    case NTSIM_TIMER_NOTIFICATION: return header->SignalState != 0;
    case NTSIM_SEMAPHORE:
    case NTSIM_TIMER_SYNCHRONIZATION:
      if (header->SignalState == 0) return false;
      header->SignalState = header->SignalState - 1;
      return true;
    default: return false;
  }
}

// Whether a wait for the object would be satisfied now, consuming nothing.
bool signalled(DISPATCHER_HEADER* header) {
  if (header->Type != NTSIM_MUTANT) return header->SignalState != 0;
  auto* mutex = reinterpret_cast<PKMUTEX>(header);
  return stateOf(mutex).load() == 1 || ownerOf(mutex).load() == currentThreadId();
}

NTSTATUS waitStatusFor(MachineState& s, const char* routine, const void* object, PLARGE_INTEGER timeout,
                       std::chrono::nanoseconds& limit, bool& bounded) {
  bool zeroTimeout = timeout != nullptr && timeout->QuadPart == 0;
  if (t_irql >= DISPATCH_LEVEL && !zeroTimeout) {
    s.report("WAIT_AT_DISPATCH_LEVEL", std::string(routine) + " on " + hex(reinterpret_cast<uintptr_t>(object)) +
                                           " with a nonzero or no timeout at IRQL " + std::to_string(t_irql) +
                                           " (bug check 0xA)");
  }
  limit = s.hangTimeout;
  bounded = timeout != nullptr;
  if (bounded) {
    LONGLONG units = timeout->QuadPart < 0 ? -timeout->QuadPart : timeout->QuadPart;
    limit = std::chrono::nanoseconds(units * 100);
  }
  return STATUS_SUCCESS;
}

// A dispatcher object ntsim can wait for: an event or a mutex it initialised.
bool isDispatcherObject(const DISPATCHER_HEADER* header) {
  switch (header->Type) {
    case NTSIM_EVENT_NOTIFICATION:
    case NTSIM_EVENT_SYNCHRONIZATION:
    case NTSIM_MUTANT:
    case NTSIM_SEMAPHORE:
    case NTSIM_THREAD:
    case NTSIM_TIMER_NOTIFICATION:
    case NTSIM_TIMER_SYNCHRONIZATION: return true;
    default: return false;
  }
}

bool checkObject(MachineState& s, const void* object, const char* routine) {
  if (object == nullptr) {
    s.report("BAD_ARGUMENT", std::string(routine) + " with a NULL object");
    return false;
  }
  return true;
}

}  // namespace

KIRQL currentIrql() { return t_irql; }
void setIrql(KIRQL irql) { t_irql = irql; }

}  // namespace ntsim

using ntsim::hex;
using ntsim::M;

extern "C" {

KIRQL KeGetCurrentIrql(void) { return ntsim::t_irql; }

KIRQL KfRaiseIrql(KIRQL NewIrql) {
  KIRQL old = ntsim::t_irql;
  if (NewIrql < old) {
    M().report("IRQL_NOT_RAISED", "KeRaiseIrql to " + std::to_string(NewIrql) + " from " + std::to_string(old));
  }
  ntsim::t_irql = NewIrql;
  return old;
}

void KfLowerIrql(KIRQL NewIrql) {
  if (NewIrql > ntsim::t_irql) {
    M().report("IRQL_NOT_LOWERED",
               "KeLowerIrql to " + std::to_string(NewIrql) + " from " + std::to_string(ntsim::t_irql));
  }
  ntsim::t_irql = NewIrql;
}

void KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  if (Event == nullptr) {
    M().report("BAD_ARGUMENT", "KeInitializeEvent with a NULL event");
    return;
  }
  std::memset(Event, 0, sizeof *Event);
  Event->Header.Type = Type == SynchronizationEvent ? NTSIM_EVENT_SYNCHRONIZATION : NTSIM_EVENT_NOTIFICATION;
  Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
  Event->Header.SignalState = State ? 1 : 0;
}

LONG KeSetEvent(PRKEVENT Event, LONG Increment, BOOLEAN Wait) {
  auto& s = M();
  (void)Increment;
  if (Event == nullptr) {
    s.report("BAD_ARGUMENT", "KeSetEvent with a NULL event");
    return 0;
  }
  if (ntsim::t_irql > DISPATCH_LEVEL || (Wait && ntsim::t_irql > APC_LEVEL)) {
    s.report("IRQL_TOO_HIGH", "KeSetEvent at IRQL " + std::to_string(ntsim::t_irql));
  }
  LONG previous;
  {
    std::lock_guard lock(s.waitMutex);
    previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
  }
  s.waitCv.notify_all();
  return previous;
}

void KeClearEvent(PRKEVENT Event) {
  auto& s = M();
  if (!ntsim::checkObject(s, Event, "KeClearEvent")) return;
  std::lock_guard lock(s.waitMutex);
  Event->Header.SignalState = 0;
}

LONG KeResetEvent(PRKEVENT Event) {
  auto& s = M();
  if (!ntsim::checkObject(s, Event, "KeResetEvent")) return 0;
  std::lock_guard lock(s.waitMutex);
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 0;
  return previous;
}

LONG KeReadStateEvent(PRKEVENT Event) {
  auto& s = M();
  if (!ntsim::checkObject(s, Event, "KeReadStateEvent")) return 0;
  std::lock_guard lock(s.waitMutex);
  return Event->Header.SignalState;
}

void KeInitializeMutex(PRKMUTEX Mutex, ULONG Level) {
  (void)Level;
  if (Mutex == nullptr) {
    M().report("BAD_ARGUMENT", "KeInitializeMutex with a NULL mutex");
    return;
  }
  std::memset(Mutex, 0, sizeof *Mutex);
  Mutex->Header.Type = NTSIM_MUTANT;
  Mutex->Header.SignalState = 1;
}

LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait) {
  auto& s = M();
  (void)Wait;
  if (!ntsim::checkObject(s, Mutex, "KeReleaseMutex")) return 0;
  if (ntsim::ownerOf(Mutex).load(std::memory_order_relaxed) != ntsim::currentThreadId()) {
    s.report("MUTEX_NOT_OWNED",
             "KeReleaseMutex by a thread that does not own mutex " + ntsim::hex(reinterpret_cast<uintptr_t>(Mutex)));
    return 0;
  }
  LONG previous = ntsim::stateOf(Mutex).load(std::memory_order_relaxed);
  if (previous + 1 != 1) {
    ntsim::stateOf(Mutex).store(previous + 1, std::memory_order_relaxed);  // still held by the caller
    return previous;
  }
  ntsim::ownerOf(Mutex).store(0, std::memory_order_relaxed);
  // Freed, then the waiter count read: a waiter either counted itself before
  // this read (and is woken) or finds the mutex free when it looks.
  ntsim::stateOf(Mutex).store(1, std::memory_order_seq_cst);
  if (s.waiters.load(std::memory_order_seq_cst) != 0) {
    { std::lock_guard lock(s.waitMutex); }
    s.waitCv.notify_all();
  }
  return previous;
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                               PLARGE_INTEGER Timeout) {
  auto& s = M();
  (void)WaitReason;
  (void)WaitMode;
  (void)Alertable;
  if (Object == nullptr) {
    s.report("BAD_ARGUMENT", "KeWaitForSingleObject with a NULL object");
    return STATUS_INVALID_PARAMETER;
  }
  auto* header = static_cast<DISPATCHER_HEADER*>(Object);
  if (!ntsim::isDispatcherObject(header)) {
    s.report("BAD_ARGUMENT", "KeWaitForSingleObject on " + ntsim::hex(reinterpret_cast<uintptr_t>(Object)) +
                                 ", which is not a dispatcher object (object type " + std::to_string(header->Type) +
                                 ")");
    return STATUS_INVALID_PARAMETER;
  }
  // A wait that may block is allowed only at IRQL <= APC_LEVEL.
  bool zeroTimeout = Timeout != nullptr && Timeout->QuadPart == 0;
  if (ntsim::t_irql >= DISPATCH_LEVEL && !zeroTimeout) {
    s.report("WAIT_AT_DISPATCH_LEVEL", "KeWaitForSingleObject on " + ntsim::hex(reinterpret_cast<uintptr_t>(Object)) +
                                           " with a nonzero or no timeout at IRQL " + std::to_string(ntsim::t_irql) +
                                           " (bug check 0xA)");
  }
  std::chrono::nanoseconds limit = s.hangTimeout;
  bool bounded = false;
  if (Timeout != nullptr) {
    // Relative (negative) timeouts in 100 ns units; absolute ones are taken as relative to now.
    LONGLONG units = Timeout->QuadPart < 0 ? -Timeout->QuadPart : Timeout->QuadPart;
    limit = std::chrono::nanoseconds(units * 100);
    bounded = true;
  }
  if (header->Type == NTSIM_MUTANT) {
    // Free or the caller's: taken at once. Held briefly by another thread: worth a short spin.
    auto* mutex = static_cast<PKMUTEX>(Object);
    if (ntsim::tryAcquireMutex(mutex)) return STATUS_SUCCESS;
    // Watched with plain reads, so that the spin does not take the line from the holder.
    for (int spins = zeroTimeout ? 0 : 128; spins > 0; --spins) {
#if defined(__x86_64__) || defined(__i386__)
      __builtin_ia32_pause();
#endif
      if (ntsim::stateOf(mutex).load(std::memory_order_relaxed) == 1 && ntsim::tryAcquireMutex(mutex)) {
        return STATUS_SUCCESS;
      }
    }
    // Still held: its holder may have lost its core to a thread like this
    // one. Handing the core over a few times is cheaper than going to sleep.
    for (int yields = zeroTimeout ? 0 : 16; yields > 0; --yields) {
      std::this_thread::yield();
      if (ntsim::stateOf(mutex).load(std::memory_order_relaxed) == 1 && ntsim::tryAcquireMutex(mutex)) {
        return STATUS_SUCCESS;
      }
    }
  }
  std::unique_lock lock(s.waitMutex);
  s.waiters.fetch_add(1, std::memory_order_seq_cst);
  bool satisfied = s.waitCv.wait_for(lock, limit, [&] { return ntsim::trySatisfy(header); });
  s.waiters.fetch_sub(1, std::memory_order_relaxed);
  if (satisfied) return STATUS_SUCCESS;
  if (bounded) return STATUS_TIMEOUT;
  lock.unlock();
  s.report("WAIT_NEVER_SATISFIED", "KeWaitForSingleObject on " + ntsim::hex(reinterpret_cast<uintptr_t>(Object)) +
                                       " was not satisfied within the hang timeout; returning STATUS_TIMEOUT");
  return STATUS_TIMEOUT;
}

NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON WaitReason,
                                  KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                  PKWAIT_BLOCK WaitBlockArray) {
  auto& s = M();
  (void)WaitReason, (void)WaitMode, (void)Alertable;
  if (Count == 0 || Count > MAXIMUM_WAIT_OBJECTS || (Count > THREAD_WAIT_OBJECTS && WaitBlockArray == nullptr)) {
    s.report("BAD_ARGUMENT", "KeWaitForMultipleObjects with " + std::to_string(Count) + " objects and " +
                                 (WaitBlockArray == nullptr ? "no" : "a") +
                                 " wait block array (more than THREAD_WAIT_OBJECTS need one; bug check 0xC)");
    return STATUS_INVALID_PARAMETER;
  }
  for (ULONG i = 0; i < Count; ++i) {
    if (Object[i] == nullptr || !ntsim::isDispatcherObject(static_cast<DISPATCHER_HEADER*>(Object[i]))) {
      s.report("BAD_ARGUMENT",
               "KeWaitForMultipleObjects with object " + std::to_string(i) + ", which is not a dispatcher object");
      return STATUS_INVALID_PARAMETER;
    }
  }
  std::chrono::nanoseconds limit;
  bool bounded;
  ntsim::waitStatusFor(s, "KeWaitForMultipleObjects", Object[0], Timeout, limit, bounded);
  NTSTATUS result = STATUS_TIMEOUT;
  auto ready = [&] {
    auto header = [&](ULONG i) { return static_cast<DISPATCHER_HEADER*>(Object[i]); };
    if (WaitType == WaitAny) {
      for (ULONG i = 0; i < Count; ++i) {
        if (ntsim::trySatisfy(header(i))) {
          result = static_cast<NTSTATUS>(STATUS_WAIT_0 + i);
          return true;
        }
      }
      return false;
    }
    for (ULONG i = 0; i < Count; ++i) {
      if (!ntsim::signalled(header(i))) return false;
    }
    for (ULONG i = 0; i < Count; ++i) ntsim::trySatisfy(header(i));
    result = STATUS_SUCCESS;
    return true;
  };
  std::unique_lock lock(s.waitMutex);
  s.waiters.fetch_add(1, std::memory_order_seq_cst);
  bool satisfied = s.waitCv.wait_for(lock, limit, ready);
  s.waiters.fetch_sub(1, std::memory_order_relaxed);
  if (satisfied || bounded) return result;
  lock.unlock();
  s.report("WAIT_NEVER_SATISFIED", "KeWaitForMultipleObjects was not satisfied within the hang timeout");
  return STATUS_TIMEOUT;
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval) {
  (void)WaitMode, (void)Alertable;
  if (ntsim::t_irql > APC_LEVEL) {
    M().report("IRQL_NOT_LESS_OR_EQUAL",
               "KeDelayExecutionThread at IRQL " + std::to_string(ntsim::t_irql) + " (bug check 0xA)");
  }
  if (Interval == nullptr) return STATUS_INVALID_PARAMETER;
  LONGLONG units = Interval->QuadPart;
  if (units >= 0) {
    // Absolute: a system time, in 100 ns units since 1601.
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    units = units > now.QuadPart ? now.QuadPart - units : 0;
  }
  std::this_thread::sleep_for(std::chrono::nanoseconds(-units * 100));
  return STATUS_SUCCESS;
}

void KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit) {
  std::memset(Semaphore, 0, sizeof *Semaphore);
  Semaphore->Header.Type = NTSIM_SEMAPHORE;
  Semaphore->Header.SignalState = Count;
  Semaphore->Limit = Limit;
}

LONG KeReleaseSemaphore(PRKSEMAPHORE Semaphore, LONG Increment, LONG Adjustment, BOOLEAN Wait) {
  auto& s = M();
  (void)Increment, (void)Wait;
  LONG previous;
  {
    std::lock_guard lock(s.waitMutex);
    previous = Semaphore->Header.SignalState;
    if (Adjustment <= 0 || previous + Adjustment > Semaphore->Limit) {
      s.report("SEMAPHORE_LIMIT_EXCEEDED", "KeReleaseSemaphore by " + std::to_string(Adjustment) + " over a count of " +
                                               std::to_string(previous) + " with limit " +
                                               std::to_string(Semaphore->Limit) + " (STATUS_SEMAPHORE_LIMIT_EXCEEDED)");
      return previous;
    }
    Semaphore->Header.SignalState = previous + Adjustment;
  }
  s.waitCv.notify_all();
  return previous;
}

LONG KeReadStateSemaphore(PRKSEMAPHORE Semaphore) {
  auto& s = M();
  std::lock_guard lock(s.waitMutex);
  return Semaphore->Header.SignalState;
}

void KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
  // 100 ns units since 1 January 1601 (UTC).
  constexpr LONGLONG kFrom1601To1970 = 116444736000000000LL;
  auto since1970 = std::chrono::system_clock::now().time_since_epoch();
  CurrentTime->QuadPart =
      kFrom1601To1970 + std::chrono::duration_cast<std::chrono::nanoseconds>(since1970).count() / 100;
}

ULONGLONG KeQueryInterruptTime(void) {
  auto since = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<ULONGLONG>(std::chrono::duration_cast<std::chrono::nanoseconds>(since).count() / 100);
}

ULONG KeQueryTimeIncrement(void) { return 156250; }  // 15.625 ms, the default clock interval

void KeQueryTickCount(PLARGE_INTEGER TickCount) {
  TickCount->QuadPart = static_cast<LONGLONG>(KeQueryInterruptTime() / KeQueryTimeIncrement());
}

LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency) {
  if (PerformanceFrequency != nullptr) PerformanceFrequency->QuadPart = 10000000;
  LARGE_INTEGER counter;
  counter.QuadPart = static_cast<LONGLONG>(KeQueryInterruptTime());
  return counter;
}

}  // extern "C"
