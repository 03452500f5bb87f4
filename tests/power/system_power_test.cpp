// System power on all three drivers: the system IRP is passed down, turned
// into a device IRP for the state the capability table maps it to, held and
// completed from the request's callback. Here the device IRP always comes
// back on the same stack, so the callback runs before PoRequestPowerIrp
// returns and the "has been send successfully" line comes last.
#include "power_fixture.h"

namespace pdkit::test::power {
namespace {

using ::testing::Combine;
using ::testing::ValuesIn;

class SystemPowerTest : public PowerTest {};

using BusPower = std::vector<std::tuple<int, ULONG, ULONG, ULONG>>;

constexpr NTSTATUS kInformational = 0x40000000;  // a success status other than STATUS_SUCCESS

TEST_P(SystemPowerTest, SleepToS3AndWakeWithTheRootBusReport) {
  boot(GetParam());

  auto sleep = machine->systemPower(*node, PowerSystemSleeping3, PowerActionSleep);
  EXPECT_EQ(sleep.status, STATUS_SUCCESS);
  EXPECT_EQ(sleep.information, 0u);
  // The device IRPs come back before PoRequestPowerIrp returns: callback first, then the sent line.
  EXPECT_EQ(kd(), concat({systemQueryLines(PowerSystemSleeping3, PowerDeviceD3),
                          systemSetLines(PowerSystemSleeping3, PowerDeviceD3, SetPath::Down)}));
  EXPECT_EQ(extension()->SystemPowerState, PowerSystemSleeping3);
  EXPECT_EQ(extension()->DevicePowerState, PowerDeviceD3);
  EXPECT_EQ(powerStates(), std::vector<ULONG>{PowerDeviceD3});
  EXPECT_EQ(busPower(), (BusPower{{IRP_MN_QUERY_POWER, SystemPowerState, PowerSystemSleeping3, PowerActionSleep},
                                  {IRP_MN_QUERY_POWER, DevicePowerState, PowerDeviceD3, PowerActionSleep},
                                  {IRP_MN_SET_POWER, SystemPowerState, PowerSystemSleeping3, PowerActionSleep},
                                  {IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3, PowerActionSleep}}));
  expectSettled();
  expectViolationsExactly({});

  machine->clearDebugOutput();
  auto wake = machine->systemPower(*node, PowerSystemWorking, PowerActionNone);
  EXPECT_EQ(wake.status, STATUS_SUCCESS);
  EXPECT_EQ(wake.information, 0u);
  EXPECT_EQ(kd(), systemSetLines(PowerSystemWorking, PowerDeviceD0, SetPath::Up));
  EXPECT_EQ(extension()->SystemPowerState, PowerSystemWorking);
  EXPECT_EQ(extension()->DevicePowerState, PowerDeviceD0);
  EXPECT_EQ(powerStates(), (std::vector<ULONG>{PowerDeviceD3, PowerDeviceD0}));
  EXPECT_EQ(busPower().size(), 6u);
  EXPECT_EQ(busPower()[4], std::make_tuple(IRP_MN_SET_POWER, ULONG{SystemPowerState}, ULONG{PowerSystemWorking},
                                           ULONG{PowerActionNone}));
  EXPECT_EQ(busPower()[5],
            std::make_tuple(IRP_MN_SET_POWER, ULONG{DevicePowerState}, ULONG{PowerDeviceD0}, ULONG{PowerActionNone}));
  expectSettled();
  expectViolationsExactly({});
}

TEST_P(SystemPowerTest, TheDebuggerShowsTheLinesWithoutLineEndsRunningOn) {
  boot(GetParam());
  ASSERT_EQ(machine->systemPower(*node, PowerSystemSleeping3, PowerActionSleep).status, STATUS_SUCCESS);
  const std::string stream = machine->debugStream();
  for (const char* joined : {
           "Ready to pass down IRP for system power state queryIn completion routine for IRP_MN_QUERY_POWER for "
           "system powerIRP_MJ_POWER Received : Begin\r\n",
           "Device power state queryDevice power state = 4\r\n",
           "Ready to pass down IRP for device power state queryIn completion routine for IRP_MN_QUERY_POWER for "
           "device powerIn callback routine for PoRequestPowerIrp of device power query\r\n"
           "IRP_MN_QUERY_POWER for device power has been send successfullyIRP_MJ_POWER Received : Begin\r\n",
           "Ready to pass down IRP for system power state changeIn completion routine for IRP_MN_SET_POWER for "
           "system powerIRP_MJ_POWER Received : Begin\r\n",
           "Ready to pass down IRP for device power state changeIn callback routine for PoRequestPowerIrp of device "
           "power setting\r\nIRP_MN_SET_POWER for device power has been send successfully",
       }) {
    EXPECT_NE(stream.find(joined), std::string::npos) << joined;
  }
  EXPECT_TRUE(stream.ends_with("IRP_MN_SET_POWER for device power has been send successfully"));
}

TEST_P(SystemPowerTest, WorkingWhileWorkingStillRequestsADeviceSetThatPowersUp) {
  boot(GetParam());
  auto result = machine->systemPower(*node, PowerSystemWorking, PowerActionNone);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(kd(), systemSetLines(PowerSystemWorking, PowerDeviceD0, SetPath::Up));
  EXPECT_EQ(powerStates(), std::vector<ULONG>{PowerDeviceD0});
  EXPECT_EQ(extension()->SystemPowerState, PowerSystemWorking);
  EXPECT_EQ(extension()->DevicePowerState, PowerDeviceD0);
  expectSettled();
  expectViolationsExactly({});
}

TEST_P(SystemPowerTest, AQueryChangesNoRecordedState) {
  boot(GetParam());
  for (ULONG state : {PowerSystemSleeping1, PowerSystemSleeping3, PowerSystemHibernate, PowerSystemShutdown}) {
    machine->clearDebugOutput();
    auto result = send(IRP_MN_QUERY_POWER, SystemPowerState, state, PowerActionSleep);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 0u);
    EXPECT_EQ(kd(), systemQueryLines(state, PowerDeviceD3));
    EXPECT_EQ(extension()->SystemPowerState, PowerSystemWorking);
    EXPECT_EQ(extension()->DevicePowerState, PowerDeviceD0);
  }
  EXPECT_TRUE(powerStates().empty());
  expectSettled();
  expectViolationsExactly({});
}

// ------------------------------------------------ hibernate, shutdown and their own entries

struct DeepCase {
  const char* name;
  SYSTEM_POWER_STATE system;
  POWER_ACTION action;
  DEVICE_POWER_STATE device;  // DeviceState[system]; every other sleeping entry maps elsewhere
};

const DeepCase kDeep[] = {
    {"HibernateD3", PowerSystemHibernate, PowerActionHibernate, PowerDeviceD3},
    {"HibernateD2", PowerSystemHibernate, PowerActionHibernate, PowerDeviceD2},
    {"ShutdownD3", PowerSystemShutdown, PowerActionShutdown, PowerDeviceD3},
    {"ShutdownOffD2", PowerSystemShutdown, PowerActionShutdownOff, PowerDeviceD2},
    {"ShutdownResetD1", PowerSystemShutdown, PowerActionShutdownReset, PowerDeviceD1},
};

class DeepSleepTest : public PowerTestBase, public ::testing::WithParamInterface<std::tuple<DriverKind, DeepCase>> {};

TEST_P(DeepSleepTest, UsesTheEntryOfItsOwnSystemState) {
  const auto& [kind, deep] = GetParam();
  const DEVICE_POWER_STATE other = deep.device == PowerDeviceD1 ? PowerDeviceD2 : PowerDeviceD1;
  DEVICE_CAPABILITIES report = reportWith({PowerDeviceUnspecified, PowerDeviceD0, other, other, other, other, other});
  report.DeviceState[deep.system] = deep.device;
  boot(kind, {.report = report});

  auto result = machine->systemPower(*node, deep.system, deep.action);

  EXPECT_EQ(result.status, STATUS_SUCCESS);
  // D1 and D2 power down too: the action is a hibernate or shutdown action.
  EXPECT_EQ(kd(), concat({systemQueryLines(deep.system, deep.device),
                          systemSetLines(deep.system, deep.device, SetPath::Down)}));
  EXPECT_EQ(extension()->SystemPowerState, deep.system);
  EXPECT_EQ(extension()->DevicePowerState, deep.device);
  EXPECT_EQ(powerStates(), std::vector<ULONG>{ULONG(deep.device)});
  EXPECT_EQ(busPower(), (BusPower{{IRP_MN_QUERY_POWER, SystemPowerState, deep.system, deep.action},
                                  {IRP_MN_QUERY_POWER, DevicePowerState, deep.device, deep.action},
                                  {IRP_MN_SET_POWER, SystemPowerState, deep.system, deep.action},
                                  {IRP_MN_SET_POWER, DevicePowerState, deep.device, deep.action}}));
  expectSettled();
  expectViolationsExactly({});
}

INSTANTIATE_TEST_SUITE_P(Deep, DeepSleepTest, Combine(ValuesIn(kAllDrivers), ValuesIn(kDeep)), CaseName());

// ------------------------------------------------ a mapping to D1 or D2

struct LightCase {
  const char* name;
  SYSTEM_POWER_STATE system;
  DEVICE_POWER_STATE device;
};

const LightCase kLight[] = {
    {"S1ToD1", PowerSystemSleeping1, PowerDeviceD1},
    {"S2ToD2", PowerSystemSleeping2, PowerDeviceD2},
    {"S3ToD2", PowerSystemSleeping3, PowerDeviceD2},
};

class LightSleepTest : public PowerTestBase, public ::testing::WithParamInterface<std::tuple<DriverKind, LightCase>> {};

TEST_P(LightSleepTest, DeviceBranchIsPassedDownAndRecordsTheStateTheBusReached) {
  const auto& [kind, light] = GetParam();
  DEVICE_CAPABILITIES report = ntsim::rootBusCapabilities();
  report.DeviceState[light.system] = light.device;
  boot(kind, {.report = report});

  auto sleep = machine->systemPower(*node, light.system, PowerActionSleep);

  EXPECT_EQ(sleep.status, STATUS_SUCCESS);
  EXPECT_EQ(sleep.information, 0u);
  EXPECT_EQ(kd(), concat({systemQueryLines(light.system, light.device),
                          systemSetLines(light.system, light.device, SetPath::Neither)}));
  EXPECT_EQ(extension()->SystemPowerState, light.system);
  EXPECT_EQ(extension()->DevicePowerState, light.device);
  EXPECT_EQ(powerStates(), std::vector<ULONG>{ULONG(light.device)});
  EXPECT_EQ(busPower(), (BusPower{{IRP_MN_QUERY_POWER, SystemPowerState, light.system, PowerActionSleep},
                                  {IRP_MN_QUERY_POWER, DevicePowerState, light.device, PowerActionSleep},
                                  {IRP_MN_SET_POWER, SystemPowerState, light.system, PowerActionSleep},
                                  {IRP_MN_SET_POWER, DevicePowerState, light.device, PowerActionSleep}}));
  expectSettled();
  expectViolationsExactly({});

  // Back to working: D0 from the recorded D1 or D2 is a power-up.
  machine->clearDebugOutput();
  EXPECT_EQ(machine->systemPower(*node, PowerSystemWorking, PowerActionNone).status, STATUS_SUCCESS);
  EXPECT_EQ(kd(), systemSetLines(PowerSystemWorking, PowerDeviceD0, SetPath::Up));
  EXPECT_EQ(extension()->DevicePowerState, PowerDeviceD0);
  EXPECT_EQ(powerStates(), (std::vector<ULONG>{ULONG(light.device), PowerDeviceD0}));
  expectSettled();
  expectViolationsExactly({});
}

INSTANTIATE_TEST_SUITE_P(Light, LightSleepTest, Combine(ValuesIn(kAllDrivers), ValuesIn(kLight)), CaseName());

// ------------------------------------------------ the table before any capability query

// Before the first capability report the table maps every state to
// PowerDeviceUnspecified: there is no device state to ask for.
TEST_P(SystemPowerTest, UnfilledTableMapsNothingSoTheSystemIrpKeepsTheBussAnswerWithoutADeviceIrp) {
  boot(GetParam(), {.queryCapabilities = false});

  auto sleep = machine->systemPower(*node, PowerSystemSleeping3, PowerActionSleep);
  EXPECT_EQ(sleep.status, STATUS_SUCCESS);
  EXPECT_EQ(sleep.information, 0u);
  EXPECT_EQ(kd(), concat({systemQueryHead(PowerSystemSleeping3), systemSetHead(PowerSystemSleeping3)}));
  EXPECT_EQ(extension()->SystemPowerState, PowerSystemSleeping3);
  EXPECT_EQ(extension()->DevicePowerState, PowerDeviceD0);
  EXPECT_TRUE(powerStates().empty());
  EXPECT_EQ(busPower(), (BusPower{{IRP_MN_QUERY_POWER, SystemPowerState, PowerSystemSleeping3, PowerActionSleep},
                                  {IRP_MN_SET_POWER, SystemPowerState, PowerSystemSleeping3, PowerActionSleep}}));
  expectSettled();
  expectViolationsExactly({});

  machine->clearDebugOutput();
  EXPECT_EQ(machine->systemPower(*node, PowerSystemWorking, PowerActionNone).status, STATUS_SUCCESS);
  EXPECT_EQ(kd(), systemSetHead(PowerSystemWorking));
  EXPECT_EQ(extension()->SystemPowerState, PowerSystemWorking);
  EXPECT_EQ(extension()->DevicePowerState, PowerDeviceD0);
  EXPECT_TRUE(powerStates().empty());
  expectSettled();
  expectViolationsExactly({});
}

// ------------------------------------------------ PoRequestPowerIrp refuses

struct RefusalCase {
  const char* name;
  NTSTATUS status;
};

const RefusalCase kRefusals[] = {
    {"NoResources", STATUS_INSUFFICIENT_RESOURCES},
    {"InvalidParameter2", STATUS_INVALID_PARAMETER_2},
};

class RefusedRequestTest : public PowerTestBase,
                           public ::testing::WithParamInterface<std::tuple<DriverKind, RefusalCase>> {};

TEST_P(RefusedRequestTest, FailsTheSystemQueryButLeavesTheSystemSetWithTheBussAnswer) {
  const auto& [kind, refusal] = GetParam();
  boot(kind);

  machine->faults().powerRequestStatus = refusal.status;
  machine->faults().powerRequest = 1;
  auto query = send(IRP_MN_QUERY_POWER, SystemPowerState, PowerSystemSleeping3, PowerActionSleep);
  EXPECT_EQ(query.status, refusal.status);
  EXPECT_EQ(query.information, 0u);
  EXPECT_EQ(kd(), concat({systemQueryHead(PowerSystemSleeping3), {trace::DeviceQuerySendFailed}}));
  EXPECT_EQ(extension()->SystemPowerState, PowerSystemWorking);
  EXPECT_EQ(extension()->DevicePowerState, PowerDeviceD0);
  expectSettled();
  expectViolationsExactly({});

  machine->clearDebugOutput();
  machine->faults().powerRequest = 1;
  auto set = send(IRP_MN_SET_POWER, SystemPowerState, PowerSystemSleeping3, PowerActionSleep);
  EXPECT_EQ(set.status, STATUS_SUCCESS) << "a system set-power IRP is never failed by the driver";
  EXPECT_EQ(set.information, 0u);
  EXPECT_EQ(kd(), concat({systemSetHead(PowerSystemSleeping3), {trace::DeviceSetSendFailed}}));
  EXPECT_EQ(extension()->SystemPowerState, PowerSystemSleeping3) << "recorded before passing down";
  EXPECT_EQ(extension()->DevicePowerState, PowerDeviceD0);
  EXPECT_TRUE(powerStates().empty());
  EXPECT_EQ(busPower(), (BusPower{{IRP_MN_QUERY_POWER, SystemPowerState, PowerSystemSleeping3, PowerActionSleep},
                                  {IRP_MN_SET_POWER, SystemPowerState, PowerSystemSleeping3, PowerActionSleep}}))
      << "no device IRP was sent";
  expectSettled();
  expectViolationsExactly({});

  // The next power IRP was started: the way back goes through.
  EXPECT_EQ(machine->systemPower(*node, PowerSystemWorking, PowerActionNone).status, STATUS_SUCCESS);
  EXPECT_EQ(extension()->SystemPowerState, PowerSystemWorking);
  expectSettled();
  expectViolationsExactly({});
}

INSTANTIATE_TEST_SUITE_P(Refused, RefusedRequestTest, Combine(ValuesIn(kAllDrivers), ValuesIn(kRefusals)), CaseName());

// ------------------------------------------------ the lower driver fails

struct LowerSystemFailure {
  const char* name;
  UCHAR minor;
  NTSTATUS status;
};

const LowerSystemFailure kLowerSystemFailures[] = {
    {"QueryUnsuccessful", IRP_MN_QUERY_POWER, STATUS_UNSUCCESSFUL},
    {"QueryNotSupported", IRP_MN_QUERY_POWER, STATUS_NOT_SUPPORTED},
    {"SetUnsuccessful", IRP_MN_SET_POWER, STATUS_UNSUCCESSFUL},
    {"SetNoResources", IRP_MN_SET_POWER, STATUS_INSUFFICIENT_RESOURCES},
};

class SystemIrpFailedBelowTest : public PowerTestBase,
                                 public ::testing::WithParamInterface<std::tuple<DriverKind, LowerSystemFailure>> {};

TEST_P(SystemIrpFailedBelowTest, IsCompletedWithThatStatusAndNoDeviceIrpIsRequested) {
  const auto& [kind, failure] = GetParam();
  boot(kind);
  setBusPowerStatus(failure.status);
  const bool set = failure.minor == IRP_MN_SET_POWER;

  auto result = send(failure.minor, SystemPowerState, PowerSystemSleeping3, PowerActionSleep);

  EXPECT_EQ(result.status, failure.status);
  EXPECT_EQ(result.information, 0u);
  EXPECT_EQ(kd(), set ? concat({systemSetHead(PowerSystemSleeping3), {trace::SystemSetLowerFailed}})
                      : concat({systemQueryHead(PowerSystemSleeping3), {trace::SystemQueryLowerFailed}}));
  EXPECT_EQ(extension()->SystemPowerState, set ? PowerSystemSleeping3 : PowerSystemWorking);
  EXPECT_EQ(extension()->DevicePowerState, PowerDeviceD0);
  EXPECT_TRUE(powerStates().empty());
  EXPECT_EQ(busPower(), (BusPower{{failure.minor, SystemPowerState, PowerSystemSleeping3, PowerActionSleep}}));
  expectSettled();
  expectViolationsExactly(set ? std::vector<std::string>{"SET_POWER_FAILED"} : std::vector<std::string>{});

  // The next power IRP is still started.
  setBusPowerStatus(STATUS_SUCCESS);
  EXPECT_EQ(machine->systemPower(*node, PowerSystemWorking, PowerActionNone).status, STATUS_SUCCESS);
  expectSettled();
  expectViolationsExactly({});
}

INSTANTIATE_TEST_SUITE_P(LowerFailure, SystemIrpFailedBelowTest,
                         Combine(ValuesIn(kAllDrivers), ValuesIn(kLowerSystemFailures)), CaseName());

TEST_P(SystemPowerTest, DeviceQueryFailedBelowFailsTheSystemQuery) {
  bootAboveFilter(GetParam());
  filter.addRule({IRP_MN_QUERY_POWER, DevicePowerState, STATUS_UNSUCCESSFUL, 0x77});

  auto result = machine->systemPower(*node, PowerSystemSleeping3, PowerActionSleep);

  EXPECT_EQ(result.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(result.information, 0u);
  EXPECT_EQ(kd(), concat({systemQueryHead(PowerSystemSleeping3),
                          deviceQueryLines(PowerDeviceD3, true),
                          {trace::DeviceQueryCallback, trace::DeviceQuerySent}}));
  EXPECT_EQ(extension()->SystemPowerState, PowerSystemWorking);
  EXPECT_EQ(extension()->DevicePowerState, PowerDeviceD0);
  EXPECT_TRUE(powerStates().empty());
  EXPECT_EQ(busPower(), (BusPower{{IRP_MN_QUERY_POWER, SystemPowerState, PowerSystemSleeping3, PowerActionSleep},
                                  {IRP_MN_QUERY_POWER, DevicePowerState, PowerDeviceD3, PowerActionSleep}}))
      << "the bus succeeded both; the filter failed the device query on its way back up";
  expectSettled();
  expectViolationsExactly({});
}

struct DeviceSetFailure {
  const char* name;
  SYSTEM_POWER_STATE from;
  SYSTEM_POWER_STATE to;
  DEVICE_POWER_STATE device;
  SetPath path;
  DEVICE_POWER_STATE recorded;  // a power-down is recorded before it goes down, a power-up only once reached
};

const DeviceSetFailure kDeviceSetFailures[] = {
    {"PowerUp", PowerSystemSleeping3, PowerSystemWorking, PowerDeviceD0, SetPath::Up, PowerDeviceD3},
    {"PowerDown", PowerSystemWorking, PowerSystemSleeping3, PowerDeviceD3, SetPath::Down, PowerDeviceD3},
};

class DeviceSetFailedBelowSystemTest : public PowerTestBase,
                                       public ::testing::WithParamInterface<std::tuple<DriverKind, DeviceSetFailure>> {
};

TEST_P(DeviceSetFailedBelowSystemTest, LeavesTheSystemSetWithItsOwnAnswerAndRecordsOnlyAReachedDeviceState) {
  const auto& [kind, failure] = GetParam();
  bootAboveFilter(kind);
  if (failure.from != PowerSystemWorking) {
    ASSERT_EQ(machine->systemPower(*node, failure.from, PowerActionSleep).status, STATUS_SUCCESS);
  }
  auto announced = powerStates();
  machine->clearDebugOutput();
  filter.addRule({IRP_MN_SET_POWER, DevicePowerState, STATUS_UNSUCCESSFUL, 0});

  auto result = send(IRP_MN_SET_POWER, SystemPowerState, failure.to, PowerActionSleep);

  EXPECT_EQ(result.status, STATUS_SUCCESS) << "a system set-power IRP is never failed by the driver";
  EXPECT_EQ(result.information, 0u);
  EXPECT_EQ(kd(), systemSetLines(failure.to, failure.device, failure.path));
  EXPECT_EQ(extension()->SystemPowerState, failure.to);
  EXPECT_EQ(extension()->DevicePowerState, failure.recorded);
  if (failure.path == SetPath::Down) announced.push_back(failure.device);
  EXPECT_EQ(powerStates(), announced);
  expectSettled();
  // Only the device set failed, below this driver.
  expectViolationsExactly({"SET_POWER_FAILED"});
}

INSTANTIATE_TEST_SUITE_P(LowerFailure, DeviceSetFailedBelowSystemTest,
                         Combine(ValuesIn(kAllDrivers), ValuesIn(kDeviceSetFailures)), CaseName());

TEST_P(SystemPowerTest, SystemIrpEndsWithTheDeviceIrpsStatusAndInformation) {
  bootAboveFilter(GetParam());
  // The system IRPs go through with success and information of the lower driver's own.
  filter.addRule({IRP_MN_SET_POWER, SystemPowerState, STATUS_SUCCESS, 0x11});
  filter.addRule({IRP_MN_QUERY_POWER, SystemPowerState, STATUS_SUCCESS, 0x11});
  filter.addRule({IRP_MN_SET_POWER, DevicePowerState, kInformational, 0x55});
  filter.addRule({IRP_MN_QUERY_POWER, DevicePowerState, kInformational, 0x66});

  // The device query's success is replaced by plain success, so the system query ends with it.
  auto query = send(IRP_MN_QUERY_POWER, SystemPowerState, PowerSystemSleeping3, PowerActionSleep);
  EXPECT_EQ(query.status, STATUS_SUCCESS);
  EXPECT_EQ(query.information, 0u);
  // A power-down passes the device set on untouched: its status and information reach the system set.
  auto set = send(IRP_MN_SET_POWER, SystemPowerState, PowerSystemSleeping3, PowerActionSleep);
  EXPECT_EQ(set.status, kInformational);
  EXPECT_EQ(set.information, 0x55u);
  // So does a power-up, whose completion routine lets the lower driver's answer stand.
  auto wake = send(IRP_MN_SET_POWER, SystemPowerState, PowerSystemWorking, PowerActionNone);
  EXPECT_EQ(wake.status, kInformational);
  EXPECT_EQ(wake.information, 0x55u);
  EXPECT_EQ(kd(), concat({systemQueryLines(PowerSystemSleeping3, PowerDeviceD3),
                          systemSetLines(PowerSystemSleeping3, PowerDeviceD3, SetPath::Down),
                          systemSetLines(PowerSystemWorking, PowerDeviceD0, SetPath::Up)}));
  EXPECT_EQ(powerStates(), (std::vector<ULONG>{PowerDeviceD3, PowerDeviceD0}));
  EXPECT_EQ(busPower().size(), 6u) << "every IRP reached the bus; the filter changed the answers on the way up";
  expectSettled();
  expectViolationsExactly({});
}

// ------------------------------------------------ system states outside the table

struct OutOfRangeCase {
  const char* name;
  UCHAR minor;
  ULONG state;
  NTSTATUS lowerStatus;
};

const OutOfRangeCase kOutOfRange[] = {
    {"Query7", IRP_MN_QUERY_POWER, 7, kInformational},
    {"QueryMax", IRP_MN_QUERY_POWER, 0x7FFFFFFF, kInformational},
    {"Set7", IRP_MN_SET_POWER, 7, kInformational},
    {"SetMax", IRP_MN_SET_POWER, 0x7FFFFFFF, kInformational},
    {"Query7Success", IRP_MN_QUERY_POWER, 7, STATUS_SUCCESS},
    {"SetMaxSuccess", IRP_MN_SET_POWER, 0x7FFFFFFF, STATUS_SUCCESS},
    {"Query7Failed", IRP_MN_QUERY_POWER, 7, STATUS_UNSUCCESSFUL},
    {"SetMaxFailed", IRP_MN_SET_POWER, 0x7FFFFFFF, STATUS_UNSUCCESSFUL},
};

class OutOfRangeSystemStateTest : public PowerTestBase,
                                  public ::testing::WithParamInterface<std::tuple<DriverKind, OutOfRangeCase>> {};

TEST_P(OutOfRangeSystemStateTest, EndsWithTheLowerDriversAnswerAndNoDeviceIrp) {
  const auto& [kind, range] = GetParam();
  bootAboveFilter(kind);
  filter.addRule({range.minor, SystemPowerState, range.lowerStatus, 0x99});
  const bool set = range.minor == IRP_MN_SET_POWER;
  const bool failed = !NT_SUCCESS(range.lowerStatus);

  auto result = send(range.minor, SystemPowerState, range.state, PowerActionSleep);

  EXPECT_EQ(result.status, range.lowerStatus);
  EXPECT_EQ(result.information, failed ? 0u : 0x99u);
  Lines expected =
      set ? systemSetHead(static_cast<LONG>(range.state)) : systemQueryHead(static_cast<LONG>(range.state));
  if (failed) expected.push_back(set ? trace::SystemSetLowerFailed : trace::SystemQueryLowerFailed);
  EXPECT_EQ(kd(), expected);
  EXPECT_EQ(static_cast<ULONG>(extension()->SystemPowerState), set ? range.state : ULONG{PowerSystemWorking});
  EXPECT_EQ(extension()->DevicePowerState, PowerDeviceD0);
  EXPECT_TRUE(powerStates().empty());
  EXPECT_EQ(busPower(), (BusPower{{range.minor, SystemPowerState, range.state, PowerActionSleep}}))
      << "no device IRP was requested";
  expectSettled();
  expectViolationsExactly(set && failed ? std::vector<std::string>{"SET_POWER_FAILED"} : std::vector<std::string>{});

  // Started-next: the next system IRP goes through.
  filter.clearRules();
  EXPECT_EQ(machine->systemPower(*node, PowerSystemWorking, PowerActionNone).status, STATUS_SUCCESS);
  EXPECT_EQ(extension()->SystemPowerState, PowerSystemWorking);
  expectSettled();
  expectViolationsExactly({});
}

INSTANTIATE_TEST_SUITE_P(OutOfRange, OutOfRangeSystemStateTest, Combine(ValuesIn(kAllDrivers), ValuesIn(kOutOfRange)),
                         CaseName());

TEST_P(SystemPowerTest, OutOfRangeStateOnTheRootBusIsPassedThroughToo) {
  boot(GetParam());
  for (ULONG state : {7u, 0x7FFFFFFFu}) {
    for (UCHAR minor : {IRP_MN_QUERY_POWER, IRP_MN_SET_POWER}) {
      auto result = send(minor, SystemPowerState, state, PowerActionSleep);
      EXPECT_EQ(result.status, STATUS_SUCCESS);
      EXPECT_EQ(result.information, 0u);
    }
  }
  EXPECT_EQ(busPower().size(), 4u) << "only the four system IRPs";
  EXPECT_TRUE(powerStates().empty());
  EXPECT_EQ(extension()->DevicePowerState, PowerDeviceD0);
  expectSettled();
  expectViolationsExactly({});
}

INSTANTIATE_TEST_SUITE_P(Drivers, SystemPowerTest, ValuesIn(kAllDrivers), PrintKind);

}  // namespace
}  // namespace pdkit::test::power
