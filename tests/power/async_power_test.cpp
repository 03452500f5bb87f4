// Power paths that span threads, on all three drivers: device IRPs that the
// lower driver completes later from another thread at DISPATCH_LEVEL (the
// callback then runs after PoRequestPowerIrp has returned), power IRPs that
// arrive while a remove-and-wait is under way on the remove lock, 1000
// sleep/wake cycles, and system transitions sent from several threads at once.
#include "power_fixture.h"

#include <algorithm>
#include <atomic>
#include <future>
#include <thread>

namespace pdkit::test::power {
namespace {

using ::testing::Combine;
using ::testing::ValuesIn;

class AsyncPowerTest : public PowerTest {
 protected:
  // Waits until the lock is back at its starting count and the debugger has
  // received n lines: with a pending lower driver, a thread that requested a
  // device IRP may still be on its way out when the system IRP is completed.
  void settle(size_t n) {
    EXPECT_TRUE(eventually([&] { return lockCount() == startLockCount; })) << "lock count " << lockCount();
    EXPECT_TRUE(eventually([&] { return machine->debugOutput().size() >= n; })) << kd().size() << " of " << n;
  }
};

size_t count(const Lines& lines, const std::string& line) {
  return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

size_t indexOf(const Lines& lines, const std::string& line) {
  return static_cast<size_t>(std::find(lines.begin(), lines.end(), line) - lines.begin());
}

Lines without(Lines lines, const std::string& line) {
  lines.erase(std::remove(lines.begin(), lines.end(), line), lines.end());
  return lines;
}

// The thread that requested the device IRP prints the sent line once
// PoRequestPowerIrp returns; the bus's thread prints the rest. Every other
// line comes in its fixed order; the sent line comes once, somewhere after
// the last line its own thread printed before the request returned.
void expectSentLineAfter(const Lines& actual, const Lines& expected, const std::string& sent,
                         const std::string& anchor) {
  EXPECT_EQ(without(actual, sent), without(expected, sent));
  EXPECT_EQ(count(actual, sent), 1u);
  EXPECT_GT(indexOf(actual, sent), indexOf(actual, anchor));
}

// ------------------------------------------------ the bus completes later, from its own thread

TEST_P(AsyncPowerTest, BusCompletingLaterFromItsOwnThreadTakesTheSamePaths) {
  boot(GetParam());
  setBusPend(true);

  auto query = send(IRP_MN_QUERY_POWER, SystemPowerState, PowerSystemSleeping3, PowerActionSleep);
  EXPECT_EQ(query.status, STATUS_SUCCESS);
  EXPECT_EQ(query.information, 0u);
  Lines expected = systemQueryLines(PowerSystemSleeping3, PowerDeviceD3);
  settle(expected.size());
  expectSentLineAfter(kd(), expected, trace::DeviceQuerySent, trace::DeviceQueryReady);
  EXPECT_EQ(extension()->SystemPowerState, PowerSystemWorking);
  EXPECT_EQ(extension()->DevicePowerState, PowerDeviceD0);
  expectSettled();
  expectViolationsExactly({});

  machine->clearDebugOutput();
  auto sleep = send(IRP_MN_SET_POWER, SystemPowerState, PowerSystemSleeping3, PowerActionSleep);
  EXPECT_EQ(sleep.status, STATUS_SUCCESS);
  expected = systemSetLines(PowerSystemSleeping3, PowerDeviceD3, SetPath::Down);
  settle(expected.size());
  expectSentLineAfter(kd(), expected, trace::DeviceSetSent, trace::DeviceChangeReady);
  EXPECT_EQ(extension()->SystemPowerState, PowerSystemSleeping3);
  EXPECT_EQ(extension()->DevicePowerState, PowerDeviceD3);
  EXPECT_EQ(powerStates(), std::vector<ULONG>{PowerDeviceD3});
  expectSettled();
  expectViolationsExactly({});

  machine->clearDebugOutput();
  auto wake = send(IRP_MN_SET_POWER, SystemPowerState, PowerSystemWorking, PowerActionNone);
  EXPECT_EQ(wake.status, STATUS_SUCCESS);
  expected = systemSetLines(PowerSystemWorking, PowerDeviceD0, SetPath::Up);
  settle(expected.size());
  expectSentLineAfter(kd(), expected, trace::DeviceSetSent, trace::DeviceChangeReady);
  EXPECT_EQ(extension()->SystemPowerState, PowerSystemWorking);
  EXPECT_EQ(extension()->DevicePowerState, PowerDeviceD0);
  EXPECT_EQ(powerStates(), (std::vector<ULONG>{PowerDeviceD3, PowerDeviceD0}));
  EXPECT_EQ(busPower().size(), 6u);
  expectSettled();
  expectViolationsExactly({});
}

TEST_P(AsyncPowerTest, BusFailingLaterFailsTheSystemIrpTheSameWay) {
  boot(GetParam());
  setBusPend(true);
  setBusPowerStatus(STATUS_UNSUCCESSFUL);
  auto query = send(IRP_MN_QUERY_POWER, SystemPowerState, PowerSystemSleeping3, PowerActionSleep);
  EXPECT_EQ(query.status, STATUS_UNSUCCESSFUL);
  Lines expected = concat({systemQueryHead(PowerSystemSleeping3), {trace::SystemQueryLowerFailed}});
  settle(expected.size());
  EXPECT_EQ(kd(), expected);
  expectSettled();
  expectViolationsExactly({});
}

// ------------------------------------------------ a device IRP held below until the test lets it go

struct HeldCase {
  const char* name;
  UCHAR minor;
  SYSTEM_POWER_STATE from;  // reached before the filter starts holding
  SYSTEM_POWER_STATE to;
  DEVICE_POWER_STATE device;  // DeviceState[to] with the root bus's report
  Lines beforeRelease;        // printed before PoRequestPowerIrp returns, the sent line last
  Lines afterRelease;         // printed in the thread that completes the device IRP
  LONG heldAcquisitions;      // remove-lock acquisitions while the device IRP is held below
  DEVICE_POWER_STATE recordedWhileHeld;
};

std::vector<HeldCase> heldCases() {
  using namespace trace;
  return {
      {"Query",
       IRP_MN_QUERY_POWER,
       PowerSystemWorking,
       PowerSystemSleeping3,
       PowerDeviceD3,
       concat(
           {systemQueryHead(4), {Begin, QueryPower, DeviceQuery, deviceState(4), DeviceQueryReady, DeviceQuerySent}}),
       {DeviceQueryCompletion, DeviceQueryCallback},
       2,
       PowerDeviceD0},
      {"PowerDown",
       IRP_MN_SET_POWER,
       PowerSystemWorking,
       PowerSystemSleeping3,
       PowerDeviceD3,
       concat({systemSetHead(4), deviceSetLines(4, SetPath::Down), {DeviceSetSent}}),
       {DeviceSetCallback},
       1,
       PowerDeviceD3},
      {"PowerUp",
       IRP_MN_SET_POWER,
       PowerSystemSleeping3,
       PowerSystemWorking,
       PowerDeviceD0,
       concat({systemSetHead(1),
               {Begin, SetPower, DeviceChange, deviceState(1), DeviceUp, DeviceChangeReady, DeviceSetSent}}),
       {DeviceSetCompletion, DeviceSetCallback},
       2,
       PowerDeviceD3},
  };
}

class HeldDeviceIrpTest : public PowerTestBase,
                          public ::testing::WithParamInterface<std::tuple<DriverKind, HeldCase>> {};

TEST_P(HeldDeviceIrpTest, CallbackRunsOnlyWhenTheLowerDriverCompletesFromAnotherThread) {
  const auto& [kind, held] = GetParam();
  bootAboveFilter(kind);
  if (held.from != PowerSystemWorking) {
    ASSERT_EQ(machine->systemPower(*node, held.from, PowerActionSleep).status, STATUS_SUCCESS);
  }
  const auto announcedBefore = powerStates();
  machine->clearDebugOutput();
  filter.addRule({held.minor, DevicePowerState, STATUS_SUCCESS, 0, /*hold=*/true});

  auto sent = std::async(std::launch::async, [&] {
    return machine->powerIrp(*node, held.minor, SystemPowerState, held.to, PowerActionSleep);
  });
  ASSERT_TRUE(filter.waitHeld(1));
  // PoRequestPowerIrp has returned: the sent line is out, the callback has not run.
  ASSERT_TRUE(eventually([&] { return machine->debugOutput().size() >= held.beforeRelease.size(); }));
  EXPECT_EQ(kd(), held.beforeRelease);
  EXPECT_EQ(sent.wait_for(std::chrono::milliseconds(20)), std::future_status::timeout) << "the system IRP is held";
  EXPECT_EQ(lockCount(), startLockCount + held.heldAcquisitions);
  expectHoldsNameTheirCalls();
  EXPECT_EQ(extension()->DevicePowerState, held.recordedWhileHeld);

  filter.completeHeld();
  auto result = sent.get();

  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, 0u);
  EXPECT_EQ(kd(), concat({held.beforeRelease, held.afterRelease}));
  const bool set = held.minor == IRP_MN_SET_POWER;
  EXPECT_EQ(extension()->SystemPowerState, set ? held.to : held.from);
  EXPECT_EQ(extension()->DevicePowerState, set ? held.device : held.recordedWhileHeld);
  auto announced = announcedBefore;
  if (set) announced.push_back(held.device);
  EXPECT_EQ(powerStates(), announced);
  expectSettled();
  expectViolationsExactly({});
}

INSTANTIATE_TEST_SUITE_P(Held, HeldDeviceIrpTest, Combine(ValuesIn(kAllDrivers), ValuesIn(heldCases())), CaseName());

// The device state is what the device IRP reached, whatever the table says by the time the callback runs.
TEST_P(AsyncPowerTest, SetCallbackLeavesTheDeviceStateTheDeviceIrpRecorded) {
  bootAboveFilter(GetParam());
  filter.addRule({IRP_MN_SET_POWER, DevicePowerState, STATUS_SUCCESS, 0, /*hold=*/true});
  auto sent = std::async(std::launch::async, [&] {
    return machine->powerIrp(*node, IRP_MN_SET_POWER, SystemPowerState, PowerSystemSleeping3, PowerActionSleep);
  });
  ASSERT_TRUE(filter.waitHeld(1));
  EXPECT_EQ(extension()->DevicePowerState, PowerDeviceD3) << "the power-down recorded D3";

  // A new capability report arrives while the device IRP is out: S3 now maps to D2.
  setReport(reportWith({PowerDeviceUnspecified, PowerDeviceD0, PowerDeviceD3, PowerDeviceD3, PowerDeviceD2,
                        PowerDeviceD3, PowerDeviceD3}));
  ASSERT_EQ(machine->queryCapabilities(*node).status, STATUS_SUCCESS);

  filter.completeHeld();
  EXPECT_EQ(sent.get().status, STATUS_SUCCESS);
  EXPECT_EQ(extension()->SystemPowerState, PowerSystemSleeping3);
  EXPECT_EQ(extension()->DevicePowerState, PowerDeviceD3) << "not DeviceState[4] as it reads now";
  EXPECT_EQ(powerStates(), std::vector<ULONG>{PowerDeviceD3});
  expectSettled();
  expectViolationsExactly({});
}

// ------------------------------------------------ 1000 sleep/wake cycles

struct CycleMode {
  const char* name;
  bool pend;
  int cycles;
};

const CycleMode kCycleModes[] = {
    {"SameStack", false, 1000},
    {"BusPends", true, 1000},
};

class SleepWakeCyclesTest : public PowerTestBase,
                            public ::testing::WithParamInterface<std::tuple<DriverKind, CycleMode>> {};

TEST_P(SleepWakeCyclesTest, LeaveTheLockPoolAndStartNextAccountsBalanced) {
  const auto& [kind, mode] = GetParam();
  boot(kind);
  setBusPend(mode.pend);
  const Lines cycle = concat({systemQueryLines(PowerSystemSleeping3, PowerDeviceD3),
                              systemSetLines(PowerSystemSleeping3, PowerDeviceD3, SetPath::Down),
                              systemSetLines(PowerSystemWorking, PowerDeviceD0, SetPath::Up)});

  for (int i = 0; i < mode.cycles; ++i) {
    ASSERT_EQ(machine->systemPower(*node, PowerSystemSleeping3, PowerActionSleep).status, STATUS_SUCCESS) << i;
    ASSERT_EQ(machine->systemPower(*node, PowerSystemWorking, PowerActionNone).status, STATUS_SUCCESS) << i;
  }

  const size_t total = cycle.size() * static_cast<size_t>(mode.cycles);
  EXPECT_TRUE(eventually([&] { return lockCount() == startLockCount; })) << lockCount();
  EXPECT_TRUE(eventually([&] { return machine->debugOutput().size() >= total; }));
  expectSettled();
  // Every power IRP was started-next exactly once at every stack level it visited.
  expectViolationsExactly({});
  EXPECT_EQ(extension()->SystemPowerState, PowerSystemWorking);
  EXPECT_EQ(extension()->DevicePowerState, PowerDeviceD0);

  const auto announced = powerStates();
  ASSERT_EQ(announced.size(), 2u * mode.cycles);
  for (size_t i = 0; i < announced.size(); ++i) {
    ASSERT_EQ(announced[i], i % 2 == 0 ? ULONG{PowerDeviceD3} : ULONG{PowerDeviceD0}) << i;
  }
  EXPECT_EQ(busPower().size(), 6u * mode.cycles);

  const Lines lines = kd();
  ASSERT_EQ(lines.size(), total);
  if (!mode.pend) {
    for (size_t i = 0; i < lines.size(); ++i) ASSERT_EQ(lines[i], cycle[i % cycle.size()]) << i;
  } else {
    for (const std::string& line : cycle) {
      EXPECT_EQ(count(lines, line), count(cycle, line) * mode.cycles) << line;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Cycles, SleepWakeCyclesTest, Combine(ValuesIn(kAllDrivers), ValuesIn(kCycleModes)),
                         CaseName());

// ------------------------------------------------ transitions sent from several threads

TEST_P(AsyncPowerTest, SystemIrpsFromSeveralThreadsAreHeldOneAtATime) {
  boot(GetParam());
  setBusPend(true);
  constexpr int kThreads = 4;
  constexpr int kCycles = 25;
  std::atomic<int> failures{0};
  std::vector<std::thread> senders;
  for (int t = 0; t < kThreads; ++t) {
    senders.emplace_back([&] {
      for (int i = 0; i < kCycles; ++i) {
        if (machine->systemPower(*node, PowerSystemSleeping3, PowerActionSleep).status != STATUS_SUCCESS) ++failures;
        if (machine->systemPower(*node, PowerSystemWorking, PowerActionNone).status != STATUS_SUCCESS) ++failures;
      }
    });
  }
  for (auto& sender : senders) sender.join();
  EXPECT_EQ(failures.load(), 0);

  constexpr size_t kQueries = kThreads * kCycles;
  constexpr size_t kSets = 2 * kThreads * kCycles;
  // Which sets power up depends on how the threads interleaved (S3 after S3
  // is a power-up from D3 to D3); each power-up prints one line more.
  auto expectedLines = [&](const Lines& lines) {
    return kQueries * systemQueryLines(4, 4).size() + kSets * systemSetLines(4, 4, SetPath::Down).size() +
           count(lines, trace::DeviceUp);
  };
  EXPECT_TRUE(eventually([&] { return lockCount() == startLockCount; })) << lockCount();
  EXPECT_TRUE(eventually([&] {
    const Lines lines = kd();
    return count(lines, trace::DeviceSetSent) == kSets && lines.size() == expectedLines(lines);
  }));
  expectSettled();
  expectViolationsExactly({});
  const Lines lines = kd();
  EXPECT_EQ(lines.size(), expectedLines(lines));
  EXPECT_EQ(count(lines, trace::DeviceUp) + count(lines, trace::DeviceDown), kSets);
  EXPECT_EQ(count(lines, trace::DeviceSetCompletion), count(lines, trace::DeviceUp));
  EXPECT_EQ(count(lines, trace::DeviceQueryCallback), kQueries);
  EXPECT_EQ(count(lines, trace::DeviceQuerySent), kQueries);
  EXPECT_EQ(count(lines, trace::DeviceSetCallback), kSets);
  EXPECT_EQ(count(lines, trace::DeviceSetSent), kSets);
  // One device set per system set, each announced once.
  EXPECT_EQ(powerStates().size(), kSets);
  // The last system set to finish left both states in step with the mapping.
  const SYSTEM_POWER_STATE system = extension()->SystemPowerState;
  EXPECT_TRUE(system == PowerSystemWorking || system == PowerSystemSleeping3) << system;
  EXPECT_EQ(extension()->DevicePowerState, system == PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3);
  EXPECT_EQ(static_cast<ULONG>(extension()->DevicePowerState), powerStates().back());
}
// ------------------------------------------------ after a remove-and-wait began

struct RemovalCase {
  const char* name;
  UCHAR minor;
  ULONG type;
  ULONG state;
  NTSTATUS status;
  Lines lines;
  std::vector<std::string> violations;
};

const RemovalCase kRemoval[] = {
    {"SystemSet",
     IRP_MN_SET_POWER,
     SystemPowerState,
     PowerSystemSleeping3,
     STATUS_DELETE_PENDING,
     {trace::Begin, trace::SetPower, trace::AcquireFailed},
     {"SET_POWER_FAILED"}},
    {"SystemQuery",
     IRP_MN_QUERY_POWER,
     SystemPowerState,
     PowerSystemSleeping3,
     STATUS_DELETE_PENDING,
     {trace::Begin, trace::QueryPower, trace::AcquireFailed},
     {}},
    {"DeviceSet",
     IRP_MN_SET_POWER,
     DevicePowerState,
     PowerDeviceD3,
     STATUS_DELETE_PENDING,
     {trace::Begin, trace::SetPower, trace::AcquireFailed},
     {"SET_POWER_FAILED"}},
    {"DeviceQuery",
     IRP_MN_QUERY_POWER,
     DevicePowerState,
     PowerDeviceD3,
     STATUS_DELETE_PENDING,
     {trace::Begin, trace::QueryPower, trace::AcquireFailed},
     {}},
    {"SetOtherType",
     IRP_MN_SET_POWER,
     2,
     PowerDeviceD3,
     STATUS_DELETE_PENDING,
     {trace::Begin, trace::SetPower, trace::AcquireFailed},
     {"SET_POWER_FAILED"}},
    // The minors this driver passes on untouched are refused too: there may be no driver below any more.
    {"WaitWake",
     IRP_MN_WAIT_WAKE,
     SystemPowerState,
     PowerSystemSleeping3,
     STATUS_DELETE_PENDING,
     {trace::Begin, trace::WaitWake, trace::End},
     {}},
    {"PowerSequence",
     IRP_MN_POWER_SEQUENCE,
     SystemPowerState,
     0,
     STATUS_DELETE_PENDING,
     {trace::Begin, trace::PowerSequence, trace::End},
     {}},
    {"OtherMinor", 0x10, DevicePowerState, PowerDeviceD3, STATUS_DELETE_PENDING, {trace::Begin, trace::End}, {}},
};

class AfterRemovalBeganTest : public PowerTestBase,
                              public ::testing::WithParamInterface<std::tuple<DriverKind, RemovalCase>> {};

TEST_P(AfterRemovalBeganTest, IsRefusedWithoutTouchingTheLock) {
  const auto& [kind, removal] = GetParam();
  boot(kind);
  RemoveAndWait underway(&extension()->RemoveLock, /*holding=*/true);
  // Begun: the lock is marked removed and counts only the test's other acquisition.
  EXPECT_TRUE(eventually([&] { return underway.begun() && lockCount() == 1; }));
  machine->clearDebugOutput();

  auto result = send(removal.minor, static_cast<POWER_STATE_TYPE>(removal.type), removal.state, PowerActionSleep);

  EXPECT_EQ(result.status, removal.status);
  EXPECT_EQ(result.information, 0u);
  EXPECT_EQ(kd(), removal.lines) << "no End line after a query or set failed its acquire";
  EXPECT_TRUE(busPower().empty());
  EXPECT_TRUE(powerStates().empty());
  EXPECT_EQ(extension()->SystemPowerState, PowerSystemWorking);
  EXPECT_EQ(extension()->DevicePowerState, PowerDeviceD0);
  // Nothing was held, so nothing was released: the count still holds only the test's acquisition.
  EXPECT_EQ(lockCount(), 1);
  EXPECT_EQ(machine->removeLockTags(&extension()->RemoveLock).size(), 1u);
  EXPECT_FALSE(underway.finished());
  // Started-next once; a set failed by the driver is reported as such.
  expectViolationsExactly(removal.violations);

  underway.finish();
  EXPECT_EQ(lockCount(), 0);
  EXPECT_TRUE(machine->removeLockTags(&extension()->RemoveLock).empty());
}

INSTANTIATE_TEST_SUITE_P(Removal, AfterRemovalBeganTest, Combine(ValuesIn(kAllDrivers), ValuesIn(kRemoval)),
                         CaseName());

INSTANTIATE_TEST_SUITE_P(Drivers, AsyncPowerTest, ValuesIn(kAllDrivers), PrintKind);

}  // namespace
}  // namespace pdkit::test::power
