// Power dispatch on all three drivers: minor codes and types that are
// passed down untouched, every rule that sorts a device set, device queries, and
// lower drivers that fail or answer device IRPs in their own way.
#include "power_fixture.h"

namespace pdkit::test::power {
namespace {

using ::testing::Combine;
using ::testing::ValuesIn;

class DispatchTest : public PowerTest {};

// ---------------------------------------------------------------- minor codes

struct MinorCase {
  const char* name;
  UCHAR minor;
  const char* line;  // the minor's own trace line, or nullptr
};

const MinorCase kMinors[] = {
    {"WaitWake", IRP_MN_WAIT_WAKE, "IRP_MN_WAIT_WAKE Received\r\n"},
    {"PowerSequence", IRP_MN_POWER_SEQUENCE, "IRP_MN_POWER_SEQUENCE Received\r\n"},
    {"Minor4", 4, nullptr},
    {"Minor0x17", 0x17, nullptr},
    {"Minor0xFF", 0xFF, nullptr},
};

class PowerMinorTest : public PowerTestBase, public ::testing::WithParamInterface<std::tuple<DriverKind, MinorCase>> {};

// The root bus cannot arm for wake nor answer the rest: it leaves them STATUS_NOT_SUPPORTED.
TEST_P(PowerMinorTest, IsPassedDownUntouchedAndComesBackWithTheBussAnswer) {
  const auto& [kind, minor] = GetParam();
  boot(kind);
  std::vector<int> bus;
  for (POWER_STATE_TYPE type : {SystemPowerState, DevicePowerState}) {
    machine->clearDebugOutput();
    auto result = send(minor.minor, type, PowerSystemSleeping3, PowerActionSleep);
    EXPECT_EQ(result.status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(result.information, 0u);
    Lines expected{trace::Begin};
    if (minor.line != nullptr) expected.push_back(minor.line);
    expected.push_back(trace::End);
    EXPECT_EQ(kd(), expected);
    bus.push_back(minor.minor);
  }
  std::vector<int> reached;
  for (const auto& irp : busPower()) reached.push_back(std::get<0>(irp));
  EXPECT_EQ(reached, bus);
  EXPECT_TRUE(powerStates().empty());
  EXPECT_EQ(extension()->SystemPowerState, PowerSystemWorking);
  EXPECT_EQ(extension()->DevicePowerState, PowerDeviceD0);
  expectSettled();
  expectViolationsExactly({});
}

INSTANTIATE_TEST_SUITE_P(Minors, PowerMinorTest, Combine(ValuesIn(kAllDrivers), ValuesIn(kMinors)), CaseName());

// ------------------------------------------------ power-state types besides 0 and 1

struct TypeCase {
  const char* name;
  UCHAR minor;
  ULONG type;
};

const TypeCase kTypes[] = {
    {"Set2", IRP_MN_SET_POWER, 2},
    {"SetMax", IRP_MN_SET_POWER, 0x7FFFFFFF},
    {"Query2", IRP_MN_QUERY_POWER, 2},
    {"QueryMax", IRP_MN_QUERY_POWER, 0x7FFFFFFF},
};

class PowerTypeTest : public PowerTestBase, public ::testing::WithParamInterface<std::tuple<DriverKind, TypeCase>> {};

TEST_P(PowerTypeTest, IsPassedDownUntouchedAndNothingRecorded) {
  const auto& [kind, type] = GetParam();
  boot(kind);
  setBusPowerStatus(STATUS_UNSUCCESSFUL);  // the bus's answer comes back as it is
  auto result = send(type.minor, static_cast<POWER_STATE_TYPE>(type.type), PowerDeviceD3, PowerActionHibernate);
  EXPECT_EQ(result.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(result.information, 0u);
  EXPECT_EQ(kd(),
            (Lines{trace::Begin, type.minor == IRP_MN_SET_POWER ? trace::SetPower : trace::QueryPower, trace::End}));
  EXPECT_EQ(busPower(), (std::vector<std::tuple<int, ULONG, ULONG, ULONG>>{
                            {type.minor, type.type, PowerDeviceD3, PowerActionHibernate}}));
  EXPECT_TRUE(powerStates().empty());
  EXPECT_EQ(extension()->SystemPowerState, PowerSystemWorking);
  EXPECT_EQ(extension()->DevicePowerState, PowerDeviceD0);
  expectSettled();
  // Started-next once, lock released once; a failed set is the bus's own.
  expectViolationsExactly(type.minor == IRP_MN_SET_POWER ? Lines{"SET_POWER_FAILED"} : Lines{});
}

INSTANTIATE_TEST_SUITE_P(Types, PowerTypeTest, Combine(ValuesIn(kAllDrivers), ValuesIn(kTypes)), CaseName());

// ------------------------------------------------------------ device set sorting

struct SetStep {
  ULONG state;
  POWER_ACTION action;
};

struct SortCase {
  const char* name;
  std::vector<SetStep> before;  // device sets that bring the device to its starting state
  SetStep set;
  SetPath path;
};

const SortCase kSorting[] = {
    {"SameStateD0", {}, {PowerDeviceD0, PowerActionNone}, SetPath::Up},
    {"SameStateD3", {{PowerDeviceD3, PowerActionNone}}, {PowerDeviceD3, PowerActionSleep}, SetPath::Up},
    {"D3ToD1", {{PowerDeviceD3, PowerActionNone}}, {PowerDeviceD1, PowerActionSleep}, SetPath::Up},
    {"D2ToD1", {{PowerDeviceD2, PowerActionHibernate}}, {PowerDeviceD1, PowerActionNone}, SetPath::Up},
    {"D3ToD0", {{PowerDeviceD3, PowerActionSleep}}, {PowerDeviceD0, PowerActionSleep}, SetPath::Up},
    {"D0ToUnspecified", {}, {PowerDeviceUnspecified, PowerActionNone}, SetPath::Up},
    {"D0WhileUnspecified", {{PowerDeviceUnspecified, PowerActionNone}}, {PowerDeviceD0, PowerActionNone}, SetPath::Up},
    {"D0ToD1Sleep", {}, {PowerDeviceD1, PowerActionSleep}, SetPath::Neither},
    {"D0ToD1None", {}, {PowerDeviceD1, PowerActionNone}, SetPath::Neither},
    {"D0ToD2Sleep", {}, {PowerDeviceD2, PowerActionSleep}, SetPath::Neither},
    {"D0ToD1WarmEject", {}, {PowerDeviceD1, PowerActionWarmEject}, SetPath::Neither},
    {"D1ToD2Sleep", {{PowerDeviceD1, PowerActionHibernate}}, {PowerDeviceD2, PowerActionSleep}, SetPath::Neither},
    {"UnspecifiedToD1Sleep",
     {{PowerDeviceUnspecified, PowerActionNone}},
     {PowerDeviceD1, PowerActionSleep},
     SetPath::Neither},
    {"D0ToD1Hibernate", {}, {PowerDeviceD1, PowerActionHibernate}, SetPath::Down},
    {"D0ToD2Shutdown", {}, {PowerDeviceD2, PowerActionShutdown}, SetPath::Down},
    {"D0ToD1ShutdownReset", {}, {PowerDeviceD1, PowerActionShutdownReset}, SetPath::Down},
    {"D0ToD2ShutdownOff", {}, {PowerDeviceD2, PowerActionShutdownOff}, SetPath::Down},
    {"D0ToD3None", {}, {PowerDeviceD3, PowerActionNone}, SetPath::Down},
    {"D0ToD3Sleep", {}, {PowerDeviceD3, PowerActionSleep}, SetPath::Down},
    {"D1ToD3Sleep", {{PowerDeviceD1, PowerActionHibernate}}, {PowerDeviceD3, PowerActionSleep}, SetPath::Down},
    {"UnspecifiedToD3", {{PowerDeviceUnspecified, PowerActionNone}}, {PowerDeviceD3, PowerActionNone}, SetPath::Down},
};

class DeviceSetSortingTest : public PowerTestBase,
                             public ::testing::WithParamInterface<std::tuple<DriverKind, SortCase>> {};

TEST_P(DeviceSetSortingTest, TakesItsPath) {
  const auto& [kind, sort] = GetParam();
  boot(kind);
  for (const SetStep& step : sort.before) {
    ASSERT_EQ(send(IRP_MN_SET_POWER, DevicePowerState, step.state, step.action).status, STATUS_SUCCESS);
  }
  const auto announcedBefore = powerStates();
  const auto busBefore = busPower();
  machine->clearDebugOutput();

  auto result = send(IRP_MN_SET_POWER, DevicePowerState, sort.set.state, sort.set.action);

  SCOPED_TRACE(pathName(sort.path));
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, 0u);
  EXPECT_EQ(kd(), deviceSetLines(sort.set.state, sort.path));
  auto announced = announcedBefore;
  auto bus = busBefore;
  announced.push_back(sort.set.state);
  bus.emplace_back(IRP_MN_SET_POWER, DevicePowerState, sort.set.state, sort.set.action);
  EXPECT_EQ(powerStates(), announced);
  EXPECT_EQ(busPower(), bus) << "every path passes the IRP down";
  EXPECT_EQ(static_cast<ULONG>(extension()->DevicePowerState), sort.set.state);
  EXPECT_EQ(extension()->SystemPowerState, PowerSystemWorking);
  expectSettled();
  expectViolationsExactly({});
}

INSTANTIATE_TEST_SUITE_P(Sorting, DeviceSetSortingTest, Combine(ValuesIn(kAllDrivers), ValuesIn(kSorting)), CaseName());

// ------------------------------------------------------------ device queries

TEST_P(DispatchTest, DeviceQueryIsPassedDownAndAnsweredWithPlainSuccess) {
  boot(GetParam());
  for (ULONG state : {PowerDeviceUnspecified, PowerDeviceD0, PowerDeviceD1, PowerDeviceD2, PowerDeviceD3}) {
    machine->clearDebugOutput();
    auto result = send(IRP_MN_QUERY_POWER, DevicePowerState, state, PowerActionSleep);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 0u);
    EXPECT_EQ(kd(), deviceQueryLines(state));
    EXPECT_EQ(std::get<2>(busPower().back()), state);
  }
  EXPECT_EQ(busPower().size(), 5u);
  EXPECT_TRUE(powerStates().empty()) << "a query records nothing";
  EXPECT_EQ(extension()->DevicePowerState, PowerDeviceD0);
  EXPECT_EQ(extension()->SystemPowerState, PowerSystemWorking);
  expectSettled();
  expectViolationsExactly({});
}

TEST_P(DispatchTest, DeviceQueryFailedBelowIsCompletedOnceWithThatStatus) {
  boot(GetParam());
  for (NTSTATUS failure : {STATUS_UNSUCCESSFUL, STATUS_INSUFFICIENT_RESOURCES, STATUS_NOT_SUPPORTED}) {
    setBusPowerStatus(failure);
    machine->clearDebugOutput();
    auto result = send(IRP_MN_QUERY_POWER, DevicePowerState, PowerDeviceD3, PowerActionSleep);
    EXPECT_EQ(result.status, failure);
    EXPECT_EQ(result.information, 0u);
    EXPECT_EQ(kd(), deviceQueryLines(PowerDeviceD3, true));
  }
  EXPECT_TRUE(powerStates().empty());
  EXPECT_EQ(extension()->DevicePowerState, PowerDeviceD0);
  expectSettled();
  // Completed once and started-next once: no double completion, no missing or second start.
  expectViolationsExactly({});
  // The next power IRP is still started: another query goes through.
  setBusPowerStatus(STATUS_SUCCESS);
  EXPECT_EQ(send(IRP_MN_QUERY_POWER, DevicePowerState, PowerDeviceD3).status, STATUS_SUCCESS);
  expectViolationsExactly({});
}

TEST_P(DispatchTest, DeviceQuerySuccessBelowIsReplacedByPlainSuccess) {
  bootAboveFilter(GetParam());
  constexpr NTSTATUS kInformational = 0x40000000;  // a success status other than STATUS_SUCCESS
  filter.addRule({IRP_MN_QUERY_POWER, DevicePowerState, kInformational, 0x1234});
  auto result = send(IRP_MN_QUERY_POWER, DevicePowerState, PowerDeviceD2);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, 0u);
  EXPECT_EQ(kd(), deviceQueryLines(PowerDeviceD2));
  expectSettled();
  expectViolationsExactly({});
}

// ------------------------------------------------ device sets the lower driver fails

struct LowerSetFailure {
  const char* name;
  std::vector<SetStep> before;
  SetStep set;
  SetPath path;
  bool recorded;  // a power-down is recorded before it goes down; the others once the bus has succeeded
};

const LowerSetFailure kSetFailures[] = {
    {"PowerUp", {{PowerDeviceD3, PowerActionSleep}}, {PowerDeviceD0, PowerActionNone}, SetPath::Up, false},
    {"Neither", {}, {PowerDeviceD1, PowerActionSleep}, SetPath::Neither, false},
    {"PowerDown", {}, {PowerDeviceD3, PowerActionSleep}, SetPath::Down, true},
};

class DeviceSetFailedBelowTest : public PowerTestBase,
                                 public ::testing::WithParamInterface<std::tuple<DriverKind, LowerSetFailure>> {};

TEST_P(DeviceSetFailedBelowTest, PassesTheFailureOnAndRecordsOnlyAPowerDown) {
  const auto& [kind, failure] = GetParam();
  boot(kind);
  for (const SetStep& step : failure.before) {
    ASSERT_EQ(send(IRP_MN_SET_POWER, DevicePowerState, step.state, step.action).status, STATUS_SUCCESS);
  }
  auto announced = powerStates();
  const DEVICE_POWER_STATE before = extension()->DevicePowerState;
  machine->clearDebugOutput();
  setBusPowerStatus(STATUS_UNSUCCESSFUL);

  auto result = send(IRP_MN_SET_POWER, DevicePowerState, failure.set.state, failure.set.action);

  EXPECT_EQ(result.status, STATUS_UNSUCCESSFUL) << "the sender sees the lower driver's status";
  EXPECT_EQ(kd(), deviceSetLines(failure.set.state, failure.path));
  if (failure.recorded) announced.push_back(failure.set.state);
  EXPECT_EQ(powerStates(), announced);
  EXPECT_EQ(static_cast<ULONG>(extension()->DevicePowerState), failure.recorded ? failure.set.state : ULONG(before));
  expectSettled();
  // The failure is the lower driver's; this driver started the next IRP and released the lock.
  expectViolationsExactly({"SET_POWER_FAILED"});
}

INSTANTIATE_TEST_SUITE_P(LowerFailure, DeviceSetFailedBelowTest, Combine(ValuesIn(kAllDrivers), ValuesIn(kSetFailures)),
                         CaseName());

TEST_P(DispatchTest, PowerUpKeepsTheLowerDriversSuccessStatusAndInformation) {
  bootAboveFilter(GetParam());
  ASSERT_EQ(send(IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3).status, STATUS_SUCCESS);
  constexpr NTSTATUS kInformational = 0x40000000;
  filter.addRule({IRP_MN_SET_POWER, DevicePowerState, kInformational, 0x55});
  machine->clearDebugOutput();
  auto result = send(IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0);
  EXPECT_EQ(result.status, kInformational);
  EXPECT_EQ(result.information, 0x55u);
  EXPECT_EQ(kd(), deviceSetLines(PowerDeviceD0, SetPath::Up));
  EXPECT_EQ(powerStates(), (std::vector<ULONG>{PowerDeviceD3, PowerDeviceD0}));
  EXPECT_EQ(extension()->DevicePowerState, PowerDeviceD0);
  expectSettled();
  expectViolationsExactly({});
}

INSTANTIATE_TEST_SUITE_P(Drivers, DispatchTest, ValuesIn(kAllDrivers), PrintKind);

}  // namespace
}  // namespace pdkit::test::power
