// Events, mutexes, spin locks and the IRQL of each thread.
#include "inproc.h"

#include <atomic>
#include <thread>
#include <vector>

namespace pdkit::test {
namespace {

using SyncTest = MachineTest;

TEST_F(SyncTest, WaitBlocksUntilAnotherThreadSetsTheEvent) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  std::atomic<bool> set{false};
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    set = true;
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
  });
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_TRUE(set.load());
  setter.join();
  // A notification event stays signalled for every later wait.
  EXPECT_EQ(KeReadStateEvent(&event), 1);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(KeResetEvent(&event), 1);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(SyncTest, SynchronisationEventReleasesOneWaitAndResets) {
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, TRUE);
  LARGE_INTEGER zero{};
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
}

TEST_F(SyncTest, TimedWaitOnAnUnsetEventTimesOut) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  LARGE_INTEGER timeout = relativeMs(30);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(25));
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  KeClearEvent(&event);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(SyncTest, WaitAtDispatchLevelIsAViolationUnlessItCannotBlock) {
  expectViolations = true;
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, TRUE);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  LARGE_INTEGER zero{};
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  EXPECT_TRUE(machine->violations().empty());
  LARGE_INTEGER timeout = relativeMs(1);
  KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
  KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  KeLowerIrql(old);
  auto found = violationsOf(*machine, "WAIT_AT_DISPATCH_LEVEL");
  ASSERT_EQ(found.size(), 2u);
  EXPECT_NE(found[0].detail.find(hexAddress(&event)), std::string::npos) << found[0].detail;
  EXPECT_EQ(takeViolations(), (std::vector<std::string>{"WAIT_AT_DISPATCH_LEVEL", "WAIT_AT_DISPATCH_LEVEL"}));
  // Back at PASSIVE_LEVEL the same wait is fine.
  KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  EXPECT_TRUE(machine->violations().empty());
}

TEST_F(SyncTest, MutexIsRecursiveForItsOwnerAndExclusiveForOthers) {
  KMUTEX mutex;
  KeInitializeMutex(&mutex, 0);
  EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  std::atomic<int> stage{0};
  std::thread other([&] {
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    stage = 1;
    while (stage.load() != 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // Still held once by the owner.
    EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    stage = 3;
    EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    KeReleaseMutex(&mutex, FALSE);
  });
  while (stage.load() != 1) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  KeReleaseMutex(&mutex, FALSE);
  stage = 2;
  while (stage.load() != 3) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), 0);  // released and signalled
  other.join();
  LARGE_INTEGER zero{};
  EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  KeReleaseMutex(&mutex, FALSE);
}

// Threads taking one mutex in turn: each holds it alone, and no release is
// lost on a thread that went to sleep waiting (a lost one would hang until
// the hang timeout and be reported).
TEST_F(SyncTest, ContendedMutexExcludesAndWakesEveryWaiter) {
  KMUTEX mutex;
  KeInitializeMutex(&mutex, 0);
  constexpr int kThreads = 4, kEach = 20000;
  long inside = 0, total = 0;
  std::atomic<int> overlaps{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kEach; ++i) {
        ASSERT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
        if (++inside != 1) ++overlaps;
        ++total;
        if (i % 1000 == 0) std::this_thread::yield();  // let the others queue up behind it
        --inside;
        KeReleaseMutex(&mutex, FALSE);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_EQ(total, long{kThreads} * kEach);
  LARGE_INTEGER zero{};
  EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), 0);
}

TEST_F(SyncTest, ReleasingAMutexOneDoesNotOwnIsReported) {
  expectViolations = true;
  KMUTEX mutex;
  KeInitializeMutex(&mutex, 0);
  KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
  std::thread([&] { KeReleaseMutex(&mutex, FALSE); }).join();
  EXPECT_EQ(takeViolations(), std::vector<std::string>{"MUTEX_NOT_OWNED"});
  // Still the owner's.
  KeReleaseMutex(&mutex, FALSE);
  EXPECT_TRUE(machine->violations().empty());
}

TEST_F(SyncTest, IrqlBelongsToEachThread) {
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_EQ(old, PASSIVE_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KIRQL elsewhere = HIGH_LEVEL;
  std::thread([&] { elsewhere = KeGetCurrentIrql(); }).join();
  EXPECT_EQ(elsewhere, PASSIVE_LEVEL);
  KeLowerIrql(old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(SyncTest, SpinLockRaisesToDispatchLevelAndExcludes) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  long counter = 0;
  auto work = [&] {
    for (int i = 0; i < 10000; ++i) {
      KIRQL old;
      KeAcquireSpinLock(&lock, &old);
      EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
      ++counter;
      KeReleaseSpinLock(&lock, old);
    }
  };
  std::thread a(work), b(work);
  a.join();
  b.join();
  EXPECT_EQ(counter, 20000);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

}  // namespace
}  // namespace pdkit::test
