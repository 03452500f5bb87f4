// A remove lock used from many threads at once, and the helper threads that
// complete requests later. Run under ThreadSanitizer as well.
#include "inproc.h"
#include "ntsim/src/helper_threads.h"

#include <chrono>
#include <latch>
#include <set>
#include <thread>
#include <vector>

namespace pdkit::test {
namespace {

// A task never waits behind another (a completion that blocks must not hold
// up the one it waits for), and a task handed out after the last finished
// finds a parked thread instead of starting one.
TEST(HelperThreadsTest, ATaskNeverWaitsBehindAnotherAndThreadsAreReused) {
  using namespace std::chrono_literals;
  ntsim::InFlight inFlight;
  std::latch secondRan(1);
  std::thread::id first, second;
  inFlight.begin();
  ntsim::runOnHelperThread([&] {
    first = std::this_thread::get_id();
    secondRan.wait();
    inFlight.end();
  });
  EXPECT_FALSE(inFlight.waitForNone(20ms));
  inFlight.begin();
  ntsim::runOnHelperThread([&] {
    second = std::this_thread::get_id();
    secondRan.count_down();
    inFlight.end();
  });
  ASSERT_TRUE(inFlight.waitForNone(10s));
  EXPECT_NE(first, second);
  EXPECT_NE(first, std::this_thread::get_id());

  constexpr int kTasks = 20;
  std::set<std::thread::id> ran;
  for (int i = 0; i < kTasks; ++i) {
    inFlight.begin();
    ntsim::runOnHelperThread([&] {
      ran.insert(std::this_thread::get_id());
      inFlight.end();
    });
    ASSERT_TRUE(inFlight.waitForNone(10s));
  }
  // A thread just done may not be parked yet when the next task comes; most tasks still find one.
  EXPECT_LT(ran.size(), size_t{kTasks / 2}) << kTasks << " tasks one after another ran on " << ran.size() << " threads";
}

PVOID tag(uintptr_t value) { return reinterpret_cast<PVOID>(value); }

class RemoveLockThreadsTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    IoInitializeRemoveLock(&lock, 0x6B636F4C, 0, 0);
  }
  IO_REMOVE_LOCK lock;
};

// Requests served side by side on one device: each thread's acquisitions
// are counted and listed (in the order it made them), and any thread may
// give back any of them, the remover's wait included.
TEST_F(RemoveLockThreadsTest, AcquisitionsOfManyThreadsAreCountedAndReleasedAnywhere) {
  constexpr int kThreads = 6, kEach = 3;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      for (int n = 0; n < kEach; ++n) EXPECT_EQ(IoAcquireRemoveLock(&lock, tag(0x100 * (t + 1) + n)), STATUS_SUCCESS);
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(machine->removeLockCount(&lock), 1 + kThreads * kEach);
  auto tags = machine->removeLockTags(&lock);
  ASSERT_EQ(tags.size(), size_t{kThreads * kEach});
  for (int t = 0; t < kThreads; ++t) {
    std::vector<PVOID> mine;
    for (PVOID each : tags) {
      if (reinterpret_cast<uintptr_t>(each) / 0x100 == uintptr_t(t + 1)) mine.push_back(each);
    }
    EXPECT_EQ(mine, (std::vector<PVOID>{tag(0x100 * (t + 1)), tag(0x100 * (t + 1) + 1), tag(0x100 * (t + 1) + 2)}))
        << "thread " << t;
  }
  // This thread gives back every acquisition but one; another thread removes and waits for the last.
  for (int t = 0; t < kThreads; ++t) {
    for (int n = 0; n < kEach; ++n) {
      if (t != 0 || n != 0) IoReleaseRemoveLock(&lock, tag(0x100 * (t + 1) + n));
    }
  }
  EXPECT_EQ(machine->removeLockCount(&lock), 2);
  EXPECT_EQ(machine->removeLockTags(&lock), std::vector<PVOID>{tag(0x100)});
  ASSERT_EQ(IoAcquireRemoveLock(&lock, tag(0x1)), STATUS_SUCCESS);
  std::thread remover([this] { IoReleaseRemoveLockAndWait(&lock, tag(0x1)); });
  while (IoAcquireRemoveLock(&lock, tag(0x2)) == STATUS_SUCCESS) IoReleaseRemoveLock(&lock, tag(0x2));
  // The remover gives back its own acquisition and the initial count, then waits for the request in flight.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (machine->removeLockCount(&lock) != 1 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  EXPECT_EQ(machine->removeLockCount(&lock), 1);
  IoReleaseRemoveLock(&lock, tag(0x100));
  remover.join();
  EXPECT_EQ(machine->removeLockCount(&lock), 0);
  EXPECT_TRUE(machine->removeLockTags(&lock).empty());
}

}  // namespace
}  // namespace pdkit::test
