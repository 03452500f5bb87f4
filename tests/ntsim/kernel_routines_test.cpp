// The kernel routines drivers call beyond the I/O path, each group against
// its documented behaviour, and the verifier rules on their use.
#include "inproc.h"

#include <atomic>
#include <thread>

namespace pdkit::test {
namespace {

using KernelRoutinesTest = MachineTest;

TEST_F(KernelRoutinesTest, ListsKeepTheirOrderAndInterlockedFormsReturnThePreviousEnds) {
  LIST_ENTRY head, a, b, c;
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  InitializeListHead(&head);
  EXPECT_EQ(ExInterlockedInsertTailList(&head, &a, &lock), nullptr);
  EXPECT_EQ(ExInterlockedInsertTailList(&head, &b, &lock), &a);
  EXPECT_EQ(ExInterlockedInsertHeadList(&head, &c, &lock), &a);
  EXPECT_EQ(RemoveTailList(&head), &b);
  EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), &c);
  EXPECT_TRUE(RemoveEntryList(&a));  // the list is empty after it
  EXPECT_TRUE(IsListEmpty(&head));
  EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), nullptr);

  SLIST_HEADER slist;
  SLIST_ENTRY x, y;
  InitializeSListHead(&slist);
  EXPECT_EQ(InterlockedPushEntrySList(&slist, &x), nullptr);
  EXPECT_EQ(InterlockedPushEntrySList(&slist, &y), &x);
  EXPECT_EQ(ExQueryDepthSList(&slist), 2);
  EXPECT_EQ(InterlockedPopEntrySList(&slist), &y);
  EXPECT_EQ(InterlockedFlushSList(&slist), &x);
  EXPECT_EQ(ExQueryDepthSList(&slist), 0);

  volatile LONG value = 5;
  EXPECT_EQ(InterlockedIncrement(&value), 6);
  EXPECT_EQ(InterlockedExchangeAdd(&value, 4), 6);
  EXPECT_EQ(InterlockedOr(&value, 0x10), 10);
  EXPECT_EQ(InterlockedCompareExchange(&value, 1, 26), 26);
  EXPECT_EQ(value, 1);
}

TEST_F(KernelRoutinesTest, SpinLockMisuseIsReportedWithItsBugCheck) {
  expectViolations = true;
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KeAcquireSpinLockAtDpcLevel(&lock);  // already this thread's
  KeReleaseSpinLock(&lock, old);
  KeReleaseSpinLock(&lock, old);       // no longer held
  KeAcquireSpinLockAtDpcLevel(&lock);  // at PASSIVE_LEVEL
  KeReleaseSpinLockFromDpcLevel(&lock);
  EXPECT_EQ(takeViolations(), (std::vector<std::string>{"SPIN_LOCK_ALREADY_OWNED", "SPIN_LOCK_NOT_OWNED",
                                                        "IRQL_NOT_GREATER_OR_EQUAL", "IRQL_NOT_GREATER_OR_EQUAL"}));
  KLOCK_QUEUE_HANDLE handle;
  KeAcquireInStackQueuedSpinLock(&lock, &handle);
  EXPECT_FALSE(KeTryToAcquireSpinLockAtDpcLevel(&lock));
  KeReleaseInStackQueuedSpinLock(&handle);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_TRUE(takeViolations().empty());
}

TEST_F(KernelRoutinesTest, FastMutexExcludesAtApcLevelAndIsNotRecursive) {
  FAST_MUTEX mutex;
  ExInitializeFastMutex(&mutex);
  long counter = 0;
  KIRQL inside = PASSIVE_LEVEL;
  auto work = [&] {
    for (int i = 0; i < 2000; ++i) {
      ExAcquireFastMutex(&mutex);
      inside = KeGetCurrentIrql();
      ++counter;
      ExReleaseFastMutex(&mutex);
    }
  };
  std::thread other(work);
  work();
  other.join();
  EXPECT_EQ(counter, 4000);
  EXPECT_EQ(inside, APC_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  expectViolations = true;
  ExAcquireFastMutex(&mutex);
  ExAcquireFastMutex(&mutex);
  std::thread([&] { ExReleaseFastMutex(&mutex); }).join();
  ExReleaseFastMutex(&mutex);
  EXPECT_EQ(takeViolations(), (std::vector<std::string>{"FAST_MUTEX_RECURSIVE", "FAST_MUTEX_NOT_OWNED"}));
  EXPECT_TRUE(ExTryToAcquireFastMutex(&mutex));
  ExReleaseFastMutex(&mutex);
}

TEST_F(KernelRoutinesTest, WaitsOnSeveralObjectsAnswerWithTheSatisfyingIndex) {
  KEVENT first, second;
  KSEMAPHORE semaphore;
  KeInitializeEvent(&first, NotificationEvent, FALSE);
  KeInitializeEvent(&second, SynchronizationEvent, TRUE);
  KeInitializeSemaphore(&semaphore, 1, 2);
  PVOID objects[] = {&first, &second, &semaphore};
  LARGE_INTEGER none{};
  EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, &none, nullptr), STATUS_WAIT_1);
  EXPECT_EQ(KeReadStateEvent(&second), 0);  // a synchronization event is consumed
  EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAll, Executive, KernelMode, FALSE, &none, nullptr),
            STATUS_TIMEOUT);
  EXPECT_EQ(KeReadStateSemaphore(&semaphore), 1);  // WaitAll took nothing
  KeSetEvent(&first, 0, FALSE);
  KeSetEvent(&second, 0, FALSE);
  EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAll, Executive, KernelMode, FALSE, &none, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateSemaphore(&semaphore), 0);
  LARGE_INTEGER before, after;
  KeQuerySystemTime(&before);
  LARGE_INTEGER delay = relativeMs(20);
  EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &delay), STATUS_SUCCESS);
  KeQuerySystemTime(&after);
  EXPECT_GE(after.QuadPart - before.QuadPart, 200000);
}

struct DpcRecord {
  std::atomic<int> runs{0};
  std::atomic<int> irql{-1};
  KEVENT done;
};

void recordDpc(PKDPC, PVOID context, PVOID, PVOID) {
  auto* record = static_cast<DpcRecord*>(context);
  record->irql = KeGetCurrentIrql();
  ++record->runs;
  KeSetEvent(&record->done, 0, FALSE);
}

TEST_F(KernelRoutinesTest, TimerSignalsAndRunsItsDpcAtDispatchLevelUnlessCancelled) {
  DpcRecord record;
  KeInitializeEvent(&record.done, SynchronizationEvent, FALSE);
  KTIMER timer, cancelled;
  KDPC dpc, never;
  KeInitializeTimer(&timer);
  KeInitializeTimer(&cancelled);
  KeInitializeDpc(&dpc, recordDpc, &record);
  KeInitializeDpc(&never, recordDpc, &record);
  EXPECT_FALSE(KeSetTimer(&cancelled, relativeMs(10000), &never));
  EXPECT_FALSE(KeSetTimer(&timer, relativeMs(5), &dpc));
  EXPECT_TRUE(KeCancelTimer(&cancelled));
  EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&record.done, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(record.irql, DISPATCH_LEVEL);
  EXPECT_TRUE(KeReadStateTimer(&timer));
  EXPECT_FALSE(KeCancelTimer(&timer));  // expired: no longer set
  LARGE_INTEGER wait = relativeMs(50);
  EXPECT_EQ(KeWaitForSingleObject(&cancelled, Executive, KernelMode, FALSE, &wait), STATUS_TIMEOUT);
  EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
  KeFlushQueuedDpcs();
  EXPECT_EQ(record.runs, 2);
}

TEST_F(KernelRoutinesTest, TimerSetInPoolBeingFreedIsReported) {
  expectViolations = true;
  auto* timer = static_cast<PKTIMER>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(KTIMER), 0x5474696D));
  KeInitializeTimer(timer);
  KeSetTimer(timer, relativeMs(60000), nullptr);
  ExFreePoolWithTag(timer, 0x5474696D);
  EXPECT_EQ(takeViolations(), std::vector<std::string>{"TIMER_OR_DPC_INVALID"});
}

struct WorkRecord {
  KIRQL irql = HIGH_LEVEL;
  LONG references = 0;
  bool raise = false;
  KEVENT done;
};

void recordWork(PDEVICE_OBJECT device, PVOID context) {
  auto* record = static_cast<WorkRecord*>(context);
  bool raise = record->raise;  // read before the test may go on
  record->irql = KeGetCurrentIrql();
  if (!raise) record->references = device->ReferenceCount;  // the only item running then
  KeSetEvent(&record->done, 0, FALSE);
  if (raise) KfRaiseIrql(DISPATCH_LEVEL);
}

TEST_F(KernelRoutinesTest, WorkItemRunsAtPassiveLevelHoldingItsDevice) {
  PDRIVER_OBJECT driver = machine->createDriverObject();
  PDEVICE_OBJECT device = makeDevice(driver, nullptr);
  WorkRecord record;
  KeInitializeEvent(&record.done, NotificationEvent, FALSE);
  PIO_WORKITEM item = IoAllocateWorkItem(device);
  ASSERT_NE(item, nullptr);
  KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);  // queued from a DPC, say
  IoQueueWorkItem(item, recordWork, DelayedWorkQueue, &record);
  KfLowerIrql(old);
  KeWaitForSingleObject(&record.done, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(record.irql, PASSIVE_LEVEL);
  EXPECT_EQ(record.references, 1);
  // Every worker busy behind a gate: the item stays queued, and queuing it again is caught.
  expectViolations = true;
  KEVENT gate;
  KeInitializeEvent(&gate, NotificationEvent, FALSE);
  std::vector<PIO_WORKITEM> blockers;
  for (int i = 0; i < 8; ++i) {
    blockers.push_back(IoAllocateWorkItem(device));
    IoQueueWorkItem(
        blockers.back(),
        [](PDEVICE_OBJECT, PVOID context) { KeWaitForSingleObject(context, Executive, KernelMode, FALSE, nullptr); },
        DelayedWorkQueue, &gate);
  }
  KeClearEvent(&record.done);
  record.raise = true;
  IoQueueWorkItem(item, recordWork, DelayedWorkQueue, &record);
  IoQueueWorkItem(item, recordWork, DelayedWorkQueue, &record);
  KeSetEvent(&gate, 0, FALSE);
  KeWaitForSingleObject(&record.done, Executive, KernelMode, FALSE, nullptr);
  EXPECT_TRUE(eventually([&] { return machine->violations().size() >= 2; }));
  EXPECT_EQ(takeViolations(),
            (std::vector<std::string>{"IO_WORKITEM_QUEUED_TWICE", "WORKER_THREAD_RETURNED_AT_BAD_IRQL"}));
  for (PIO_WORKITEM blocker : blockers) IoFreeWorkItem(blocker);
  IoFreeWorkItem(item);
  IoDeleteDevice(device);
}

struct ThreadRecord {
  std::atomic<bool> ran{false};
  bool terminate = false;
};

void threadStart(PVOID context) {
  auto* record = static_cast<ThreadRecord*>(context);
  record->ran = true;
  if (record->terminate) PsTerminateSystemThread(STATUS_SUCCESS);
}

TEST_F(KernelRoutinesTest, SystemThreadIsWaitedForThroughTheObjectItsHandleNames) {
  for (bool terminate : {false, true}) {
    ThreadRecord record{false, terminate};
    HANDLE handle = nullptr;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, threadStart, &record),
              STATUS_SUCCESS);
    PVOID thread = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_TRUE(record.ran);
    ObDereferenceObject(thread);
  }
  expectViolations = true;
  PVOID none = nullptr;
  EXPECT_EQ(ObReferenceObjectByHandle(reinterpret_cast<HANDLE>(0x1234), 0, nullptr, KernelMode, &none, nullptr),
            STATUS_INVALID_HANDLE);
  EXPECT_EQ(ZwClose(reinterpret_cast<HANDLE>(0x1234)), STATUS_INVALID_HANDLE);
  EXPECT_EQ(takeViolations(), std::vector<std::string>{"INVALID_KERNEL_HANDLE"});
}

TEST_F(KernelRoutinesTest, DriverUnloadedWithItsTimerSetIsReported) {
  expectViolations = true;
  ntsim::Driver& driver = machine->load(driverPath("contract"));
  reinterpret_cast<void (*)()>(driver.symbol("ContractLeaveTimerSet"))();
  machine->unload(driver);
  EXPECT_EQ(takeViolations(), std::vector<std::string>{"PENDING_OPERATIONS_AT_UNLOAD"});
}

TEST_F(KernelRoutinesTest, LookasideListReusesBlocksChargedToItsOwner) {
  NPAGED_LOOKASIDE_LIST list;
  ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, 48, 0x4C697374, 0);
  PVOID first = ExAllocateFromNPagedLookasideList(&list);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(machine->poolTagOf(first), ULONG{0x4C697374});
  ExFreeToNPagedLookasideList(&list, first);
  EXPECT_EQ(ExAllocateFromNPagedLookasideList(&list), first);
  ExFreeToNPagedLookasideList(&list, first);
  size_t before = machine->poolOutstanding();
  ExDeleteNPagedLookasideList(&list);
  EXPECT_EQ(machine->poolOutstanding(), before - 1);

  auto* zeroed = static_cast<UCHAR*>(ExAllocatePool2(POOL_FLAG_NON_PAGED, 64, 0x506F6F6C));
  ASSERT_NE(zeroed, nullptr);
  EXPECT_EQ(RtlCompareMemory(zeroed, zeroed + 32, 32), 32u);
  EXPECT_EQ(zeroed[0], 0);
  ExFreePoolWithTag(zeroed, 0x506F6F6C);
  expectViolations = true;
  EXPECT_EQ(ExAllocatePool2(POOL_FLAG_NON_PAGED, 64, 0), nullptr);
  EXPECT_EQ(takeViolations(), std::vector<std::string>{"BAD_ARGUMENT"});
}

}  // namespace
}  // namespace pdkit::test
