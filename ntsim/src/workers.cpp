// Timers and DPCs, work items, system threads and kernel handles.
//
// One clock thread expires timers and runs queued DPCs in order at
// DISPATCH_LEVEL. Work items run on system worker threads (more are started
// while all are busy, up to a few) at PASSIVE_LEVEL, holding a reference on
// their device. System threads are threads of their own; their objects are
// signalled when they end. The verifier sees a worker routine that returns
// at raised IRQL (0xE1), a work item queued twice or freed while queued, a
// timer or DPC in memory being freed (0xC7), and a driver that unloads with
// any of them pending (0xCE).
#include "state.h"
#include "sync.h"

#include <pthread.h>

#include <chrono>

namespace ntsim {

namespace {

constexpr size_t kMaxWorkers = 8;
thread_local PKTHREAD t_thread = nullptr;

LONGLONG now() { return static_cast<LONGLONG>(KeQueryInterruptTime()); }

// A due time as the kernel takes it (negative: relative, in 100 ns units;
// positive: absolute system time) on the interrupt-time clock.
LONGLONG dueOf(LARGE_INTEGER due) {
  if (due.QuadPart <= 0) return now() - due.QuadPart;
  LARGE_INTEGER system;
  KeQuerySystemTime(&system);
  return now() + (due.QuadPart > system.QuadPart ? due.QuadPart - system.QuadPart : 0);
}

void signal(MachineState& s, DISPATCHER_HEADER& header, LONG state) {
  {
    std::lock_guard lock(s.waitMutex);
    header.SignalState = state;
  }
  s.waitCv.notify_all();
}

// Under w.mutex.
bool queueDpc(Workers& w, PKDPC dpc, PVOID argument1, PVOID argument2) {
  if (dpc->DpcData != nullptr) return false;
  dpc->DpcData = dpc;
  dpc->SystemArgument1 = argument1;
  dpc->SystemArgument2 = argument2;
  w.dpcs.push_back(dpc);
  w.clockCv.notify_all();
  return true;
}

void clockLoop(MachineState* state) {
  auto& s = *state;
  auto& w = s.workers;
  std::unique_lock lock(w.mutex);
  while (true) {
    if (!w.dpcs.empty()) {
      PKDPC dpc = w.dpcs.front();
      w.dpcs.pop_front();
      dpc->DpcData = nullptr;
      ++w.dpcsRunning;
      PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
      PVOID context = dpc->DeferredContext, argument1 = dpc->SystemArgument1, argument2 = dpc->SystemArgument2;
      lock.unlock();
      setIrql(DISPATCH_LEVEL);
      routine(dpc, context, argument1, argument2);
      if (currentIrql() != DISPATCH_LEVEL) {
        s.report("IRQL_NOT_RESTORED", "DPC routine " + hex(reinterpret_cast<uintptr_t>(routine)) +
                                          " returned at IRQL " + std::to_string(currentIrql()) +
                                          " instead of DISPATCH_LEVEL");
      }
      setIrql(PASSIVE_LEVEL);
      lock.lock();
      --w.dpcsRunning;
      w.idleCv.notify_all();
      continue;
    }
    if (w.stopping) return;
    if (!w.timers.empty() && w.timers.begin()->first <= now()) {
      auto [due, timer] = *w.timers.begin();
      w.timers.erase(w.timers.begin());
      timer->Header.Inserted = 0;
      signal(s, timer->Header, 1);
      if (timer->Dpc != nullptr) {
        LARGE_INTEGER when;
        KeQuerySystemTime(&when);
        queueDpc(w, timer->Dpc, reinterpret_cast<PVOID>(static_cast<uintptr_t>(when.LowPart)),
                 reinterpret_cast<PVOID>(static_cast<uintptr_t>(static_cast<ULONG>(when.HighPart))));
      }
      if (timer->Period > 0) {
        timer->Header.Inserted = 1;
        w.timers.emplace(due + LONGLONG{timer->Period} * 10000, timer);
      }
      continue;
    }
    if (w.timers.empty()) {
      w.clockCv.wait(lock);
    } else {
      w.clockCv.wait_for(lock, std::chrono::nanoseconds((w.timers.begin()->first - now()) * 100));
    }
  }
}

void ensureClock(MachineState& s) {
  auto& w = s.workers;
  if (!w.clock.joinable()) w.clock = std::thread(clockLoop, &s);
}

void workerLoop(MachineState* state) {
  auto& s = *state;
  auto& w = s.workers;
  std::unique_lock lock(w.mutex);
  while (true) {
    ++w.idleWorkers;
    w.workCv.wait(lock, [&] { return w.stopping || !w.work.empty(); });
    --w.idleWorkers;
    if (w.work.empty()) return;
    PIO_WORKITEM item = w.work.front();
    w.work.pop_front();
    item->queued = false;
    ++w.workRunning;
    PDEVICE_OBJECT device = item->device;
    PIO_WORKITEM_ROUTINE routine = item->routine;
    PVOID context = item->context;
    lock.unlock();
    setIrql(PASSIVE_LEVEL);
    routine(device, context);  // may free the item
    if (currentIrql() != PASSIVE_LEVEL) {
      s.report("WORKER_THREAD_RETURNED_AT_BAD_IRQL", "work item routine " + hex(reinterpret_cast<uintptr_t>(routine)) +
                                                         " returned at IRQL " + std::to_string(currentIrql()) +
                                                         " (bug check 0xE1)");
      setIrql(PASSIVE_LEVEL);
    }
    ObfDereferenceObject(device);
    lock.lock();
    --w.workRunning;
    w.idleCv.notify_all();
  }
}

void releaseThread(MachineState& s, PKTHREAD thread) {
  if (thread->references.fetch_sub(1) != 1) return;
  {
    std::lock_guard lock(s.workers.mutex);
    s.workers.threads.erase(thread);
  }
  delete thread;
}

// The count goes down last, under the lock: once it is 0 the machine may go.
void threadEnded(MachineState& s, PKTHREAD thread) {
  signal(s, thread->Header, 1);
  releaseThread(s, thread);
  std::lock_guard lock(s.workers.mutex);
  --s.workers.systemThreadsRunning;
  s.workers.idleCv.notify_all();
}

struct StartBlock {
  MachineState* state;
  PKTHREAD thread;
  PKSTART_ROUTINE routine;
  PVOID context;
};

void* threadMain(void* argument) {
  std::unique_ptr<StartBlock> start(static_cast<StartBlock*>(argument));
  t_thread = start->thread;
  MachineState& s = *start->state;
  PKSTART_ROUTINE routine = start->routine;
  PVOID context = start->context;
  start.reset();
  routine(context);
  threadEnded(s, t_thread);
  return nullptr;
}

// Reported and taken out of the queues, under w.mutex.
template <typename Predicate>
std::vector<std::string> dropPending(MachineState& s, Predicate&& doomed) {
  auto& w = s.workers;
  std::vector<std::string> found;
  for (auto it = w.timers.begin(); it != w.timers.end();) {
    PKTIMER timer = it->second;
    if (doomed(timer, timer->Dpc != nullptr ? reinterpret_cast<const void*>(timer->Dpc->DeferredRoutine) : nullptr)) {
      found.push_back("timer " + hex(reinterpret_cast<uintptr_t>(timer)) + " still set");
      timer->Header.Inserted = 0;
      it = w.timers.erase(it);
    } else {
      ++it;
    }
  }
  for (auto it = w.dpcs.begin(); it != w.dpcs.end();) {
    PKDPC dpc = *it;
    if (doomed(dpc, reinterpret_cast<const void*>(dpc->DeferredRoutine))) {
      found.push_back("DPC " + hex(reinterpret_cast<uintptr_t>(dpc)) + " still queued");
      dpc->DpcData = nullptr;
      it = w.dpcs.erase(it);
    } else {
      ++it;
    }
  }
  return found;
}

POBJECT_TYPE g_threadType = reinterpret_cast<POBJECT_TYPE>(&g_threadType);

}  // namespace

void checkPendingOperations(MachineState& s, const Driver& driver) {
  auto& w = s.workers;
  auto ours = [&](const void* code) { return code != nullptr && s.ownerOf(code) == &driver; };
  std::vector<std::string> found;
  std::vector<PDEVICE_OBJECT> released;
  std::vector<const void*> threads;
  {
    std::lock_guard lock(w.mutex);
    found = dropPending(s, [&](const void* object, const void* routine) { return ours(routine) || ours(object); });
    for (auto it = w.work.begin(); it != w.work.end();) {
      PIO_WORKITEM item = *it;
      if (ours(reinterpret_cast<const void*>(item->routine))) {
        found.push_back("work item " + hex(reinterpret_cast<uintptr_t>(item)) + " still queued");
        item->queued = false;
        released.push_back(item->device);
        it = w.work.erase(it);
      } else {
        ++it;
      }
    }
    for (PKTHREAD thread : w.threads) {
      if (thread->Header.SignalState == 0 && ours(thread->startRoutine)) {
        found.push_back("system thread " + hex(reinterpret_cast<uintptr_t>(thread)) + " still running");
      }
    }
  }
  for (PDEVICE_OBJECT device : released) ObfDereferenceObject(device);
  for (const auto& what : found) {
    s.report("PENDING_OPERATIONS_AT_UNLOAD",
             "driver " + driver.name() + " unloaded with " + what + " (bug check 0xCE)");
  }
  // Its code is about to go: let its threads and running items finish first (or give up at the hang timeout).
  std::unique_lock lock(w.mutex);
  w.idleCv.wait_for(lock, s.hangTimeout, [&] {
    if (w.workRunning != 0 || w.dpcsRunning != 0) return false;
    for (PKTHREAD thread : w.threads) {
      if (thread->Header.SignalState == 0 && ours(thread->startRoutine)) return false;
    }
    return true;
  });
}

void checkFreedMemory(MachineState& s, const void* block, size_t bytes) {
  auto& w = s.workers;
  auto begin = static_cast<const char*>(block);
  std::vector<std::string> found;
  {
    std::lock_guard lock(w.mutex);
    if (w.timers.empty() && w.dpcs.empty()) return;
    found = dropPending(s, [&](const void* object, const void*) {
      auto at = static_cast<const char*>(object);
      return at >= begin && at < begin + bytes;
    });
  }
  for (const auto& what : found) {
    s.report("TIMER_OR_DPC_INVALID", "pool block " + hex(reinterpret_cast<uintptr_t>(block)) + " freed with " + what +
                                         " inside it (bug check 0xC7)");
  }
}

void stopWorkers(MachineState& s) {
  auto& w = s.workers;
  {
    std::unique_lock lock(w.mutex);
    if (!w.idleCv.wait_for(lock, s.hangTimeout, [&] { return w.systemThreadsRunning == 0; })) {
      lock.unlock();
      s.report("SYSTEM_THREAD_LEFT_RUNNING", "a system thread was still running when the machine went");
      lock.lock();
    }
    w.stopping = true;
  }
  w.clockCv.notify_all();
  w.workCv.notify_all();
  if (w.clock.joinable()) w.clock.join();
  for (auto& thread : w.workerThreads) thread.join();
  w.workerThreads.clear();
  std::lock_guard lock(w.mutex);
  for (PIO_WORKITEM item : w.items) delete item;
  w.items.clear();
}

bool dereferenceThread(MachineState& s, PVOID object) {
  auto thread = static_cast<PKTHREAD>(object);
  {
    std::lock_guard lock(s.workers.mutex);
    if (s.workers.threads.count(thread) == 0) return false;
  }
  releaseThread(s, thread);
  return true;
}

}  // namespace ntsim

using namespace ntsim;

extern "C" {

POBJECT_TYPE* PsThreadType = &g_threadType;

void KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
  std::memset(Dpc, 0, sizeof *Dpc);
  Dpc->Type = 19;  // DpcObject
  Dpc->DeferredRoutine = DeferredRoutine;
  Dpc->DeferredContext = DeferredContext;
}

BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
  auto& s = M();
  std::lock_guard lock(s.workers.mutex);
  ensureClock(s);
  return queueDpc(s.workers, Dpc, SystemArgument1, SystemArgument2) ? TRUE : FALSE;
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) {
  auto& w = M().workers;
  std::lock_guard lock(w.mutex);
  if (Dpc->DpcData == nullptr) return FALSE;
  std::erase(w.dpcs, Dpc);
  Dpc->DpcData = nullptr;
  return TRUE;
}

void KeFlushQueuedDpcs(void) {
  auto& s = M();
  if (currentIrql() != PASSIVE_LEVEL) {
    s.report("IRQL_NOT_LESS_OR_EQUAL",
             "KeFlushQueuedDpcs at IRQL " + std::to_string(currentIrql()) + "; it waits, so PASSIVE_LEVEL only");
    return;
  }
  std::unique_lock lock(s.workers.mutex);
  s.workers.idleCv.wait(lock, [&] { return s.workers.dpcs.empty() && s.workers.dpcsRunning == 0; });
}

void KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
  std::memset(Timer, 0, sizeof *Timer);
  Timer->Header.Type = Type == SynchronizationTimer ? NTSIM_TIMER_SYNCHRONIZATION : NTSIM_TIMER_NOTIFICATION;
}

void KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
  auto& s = M();
  auto& w = s.workers;
  if (currentIrql() > DISPATCH_LEVEL) {
    s.report("IRQL_NOT_LESS_OR_EQUAL", "KeSetTimerEx at IRQL " + std::to_string(currentIrql()) + " (bug check 0xA)");
  }
  std::lock_guard lock(w.mutex);
  ensureClock(s);
  BOOLEAN wasSet = FALSE;
  if (Timer->Header.Inserted) {
    for (auto it = w.timers.begin(); it != w.timers.end(); ++it) {
      if (it->second == Timer) {
        w.timers.erase(it);
        break;
      }
    }
    wasSet = TRUE;
  }
  {
    std::lock_guard waitLock(s.waitMutex);
    Timer->Header.SignalState = 0;
  }
  Timer->Dpc = Dpc;
  Timer->Period = Period;
  LONGLONG due = dueOf(DueTime);
  Timer->DueTime.QuadPart = due;
  Timer->Header.Inserted = 1;
  w.timers.emplace(due, Timer);
  w.clockCv.notify_all();
  return wasSet;
}

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) { return KeSetTimerEx(Timer, DueTime, 0, Dpc); }

BOOLEAN KeCancelTimer(PKTIMER Timer) {
  auto& w = M().workers;
  std::lock_guard lock(w.mutex);
  if (!Timer->Header.Inserted) return FALSE;
  for (auto it = w.timers.begin(); it != w.timers.end(); ++it) {
    if (it->second == Timer) {
      w.timers.erase(it);
      break;
    }
  }
  Timer->Header.Inserted = 0;
  return TRUE;
}

BOOLEAN KeReadStateTimer(PKTIMER Timer) {
  auto& s = M();
  std::lock_guard lock(s.waitMutex);
  return Timer->Header.SignalState != 0 ? TRUE : FALSE;
}

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
  auto& s = M();
  if (DeviceObject == nullptr) {
    s.report("BAD_ARGUMENT", "IoAllocateWorkItem with a NULL device object");
    return nullptr;
  }
  auto* item = new _IO_WORKITEM;
  item->device = DeviceObject;
  std::lock_guard lock(s.workers.mutex);
  s.workers.items.insert(item);
  return item;
}

void IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                     PVOID Context) {
  auto& s = M();
  auto& w = s.workers;
  (void)QueueType;
  if (currentIrql() > DISPATCH_LEVEL) {
    s.report("IRQL_NOT_LESS_OR_EQUAL", "IoQueueWorkItem at IRQL " + std::to_string(currentIrql()) + " (bug check 0xA)");
  }
  {
    std::lock_guard lock(w.mutex);
    if (w.items.count(IoWorkItem) == 0 || IoWorkItem->queued || WorkerRoutine == nullptr) {
      bool queued = w.items.count(IoWorkItem) != 0 && IoWorkItem->queued;
      s.report(queued ? "IO_WORKITEM_QUEUED_TWICE" : "BAD_ARGUMENT",
               "IoQueueWorkItem with work item " + hex(reinterpret_cast<uintptr_t>(IoWorkItem)) +
                   (queued ? ", which is queued already (bug check 0xE4)"
                           : ", which IoAllocateWorkItem did not return, or no routine"));
      return;
    }
  }
  ObfReferenceObject(IoWorkItem->device);
  std::lock_guard lock(w.mutex);
  IoWorkItem->routine = WorkerRoutine;
  IoWorkItem->context = Context;
  IoWorkItem->queued = true;
  w.work.push_back(IoWorkItem);
  if (w.idleWorkers == 0 && w.workerThreads.size() < kMaxWorkers && !w.stopping) {
    w.workerThreads.emplace_back(workerLoop, &s);
  }
  w.workCv.notify_one();
}

void IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
  auto& s = M();
  std::unique_lock lock(s.workers.mutex);
  if (s.workers.items.count(IoWorkItem) == 0) {
    lock.unlock();
    s.report("BAD_ARGUMENT", "IoFreeWorkItem with " + hex(reinterpret_cast<uintptr_t>(IoWorkItem)) +
                                 ", which is not an allocated work item");
    return;
  }
  if (IoWorkItem->queued) {
    lock.unlock();
    s.report("IO_WORKITEM_FREED_WHILE_QUEUED", "IoFreeWorkItem of work item " +
                                                   hex(reinterpret_cast<uintptr_t>(IoWorkItem)) +
                                                   " while it is still queued (bug check 0xE4)");
    return;  // kept, so that the worker does not run freed memory
  }
  s.workers.items.erase(IoWorkItem);
  delete IoWorkItem;
}

NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                              HANDLE ProcessHandle, PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                              PVOID StartContext) {
  auto& s = M();
  (void)DesiredAccess, (void)ObjectAttributes, (void)ProcessHandle;
  if (ThreadHandle == nullptr || StartRoutine == nullptr) {
    s.report("BAD_ARGUMENT", "PsCreateSystemThread with a NULL handle pointer or start routine");
    return STATUS_INVALID_PARAMETER;
  }
  if (currentIrql() != PASSIVE_LEVEL) {
    s.report("IRQL_NOT_LESS_OR_EQUAL", "PsCreateSystemThread above PASSIVE_LEVEL");
  }
  auto* thread = new _KTHREAD;
  thread->Header.Type = NTSIM_THREAD;
  thread->references = 2;  // the running thread's and the handle's
  thread->startRoutine = reinterpret_cast<const void*>(StartRoutine);
  thread->system = true;
  HANDLE handle;
  {
    std::lock_guard lock(s.workers.mutex);
    handle = reinterpret_cast<HANDLE>(~uintptr_t{0x7FFFFFFF} | ((++s.workers.lastHandle) * 4));
    s.workers.handles[handle] = thread;
    s.workers.threads.insert(thread);
    ++s.workers.systemThreadsRunning;
  }
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_t id;
  int failed = pthread_create(&id, &attributes, threadMain, new StartBlock{&s, thread, StartRoutine, StartContext});
  pthread_attr_destroy(&attributes);
  if (failed != 0) {
    {
      std::lock_guard lock(s.workers.mutex);
      s.workers.handles.erase(handle);
      s.workers.threads.erase(thread);
      --s.workers.systemThreadsRunning;
    }
    delete thread;
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  *ThreadHandle = handle;
  if (ClientId != nullptr) {
    ClientId->UniqueProcess = reinterpret_cast<HANDLE>(4);  // the System process
    ClientId->UniqueThread = handle;
  }
  return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus) {
  auto& s = M();
  (void)ExitStatus;
  if (t_thread == nullptr || !t_thread->system) {
    s.report("BAD_ARGUMENT", "PsTerminateSystemThread from a thread that is not a system thread");
    return STATUS_INVALID_PARAMETER;
  }
  threadEnded(s, t_thread);
  pthread_exit(nullptr);
}

PKTHREAD KeGetCurrentThread(void) {
  if (t_thread != nullptr) return t_thread;
  // Threads ntsim did not create (a program's, the workers') get an object of their own that never ends.
  thread_local _KTHREAD own;
  own.Header.Type = NTSIM_THREAD;
  return &own;
}

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                   KPROCESSOR_MODE AccessMode, PVOID* Object,
                                   POBJECT_HANDLE_INFORMATION HandleInformation) {
  auto& s = M();
  (void)DesiredAccess, (void)AccessMode;
  if (Object == nullptr) return STATUS_INVALID_PARAMETER;
  *Object = nullptr;
  std::lock_guard lock(s.workers.mutex);
  auto it = s.workers.handles.find(Handle);
  if (it == s.workers.handles.end()) return STATUS_INVALID_HANDLE;
  if (ObjectType != nullptr && ObjectType != g_threadType) return STATUS_OBJECT_TYPE_MISMATCH;
  it->second->references.fetch_add(1);
  *Object = it->second;
  if (HandleInformation != nullptr) *HandleInformation = {0, THREAD_ALL_ACCESS};
  return STATUS_SUCCESS;
}

LONG_PTR ObfReferenceObject(PVOID Object) {
  auto& s = M();
  {
    std::lock_guard lock(s.workers.mutex);
    if (s.workers.threads.count(static_cast<PKTHREAD>(Object)) != 0) {
      return static_cast<PKTHREAD>(Object)->references.fetch_add(1) + 1;
    }
  }
  auto* device = static_cast<PDEVICE_OBJECT>(Object);
  std::lock_guard lock(s.objectMutex);
  return ++device->ReferenceCount;
}

NTSTATUS ZwClose(HANDLE Handle) {
  auto& s = M();
  PKTHREAD thread = nullptr;
  {
    std::lock_guard lock(s.workers.mutex);
    auto it = s.workers.handles.find(Handle);
    if (it != s.workers.handles.end()) {
      thread = it->second;
      s.workers.handles.erase(it);
    }
  }
  if (thread == nullptr) {
    s.report("INVALID_KERNEL_HANDLE", "ZwClose of " + hex(reinterpret_cast<uintptr_t>(Handle)) +
                                          ", which is not an open kernel handle (bug check 0x93)");
    return STATUS_INVALID_HANDLE;
  }
  releaseThread(s, thread);
  return STATUS_SUCCESS;
}

}  // extern "C"
