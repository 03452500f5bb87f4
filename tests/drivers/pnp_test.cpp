// Plug and Play requests: every one goes down to the bus; start and the
// capability query are waited for, and the query's answer fills the table.
#include "driver_fixture.h"

#include <algorithm>

namespace pdkit::test {
namespace {

class PnpTest : public DriverTest, public ::testing::WithParamInterface<DriverKind> {
 protected:
  size_t busCount(UCHAR major, UCHAR minor) const {
    auto records = node->busRecords();
    return static_cast<size_t>(std::count_if(records.begin(), records.end(), [&](const ntsim::BusRecord& r) {
      return r.major == major && r.minor == minor;
    }));
  }
};

const Lines kQueryOpening{"IRP_MJ_PNP Received : Begin\r\n", "IRP_MN_QUERY_CAPABILITIES Received : Begin\r\n",
                          "Query Device Capability....\r\n", "Ready to pass IRP down\r\n",
                          "In Completion Routine for IRP_MN_QUERY_CAPABILITIES....\r\n"};
const char* const kCompletionReturn = "return from IoCompletion Routine for IRP_MN_QUERY_CAPABILITIES\r\n";
const Lines kQueryClosing{"IRP_MN_QUERY_CAPABILITIES Received : End\r\n", "IRP_MJ_PNP Received : End\r\n"};
const char* const kQueryFailed = "Failed to handle IRP_MN_QUERY_CAPABILITIES";

struct MinorCase {
  const char* name;
  UCHAR minor;
  Lines lines;  // between the dispatch routine's Begin and End lines
};

TEST_P(PnpTest, EveryRequestGoesDownToTheBusWithTheStatusAFunctionDriverGives) {
  boot(GetParam(), {.start = false});
  struct Case {
    MinorCase request;
    NTSTATUS status;
  };
  const Case cases[] = {
      {{"start",
        IRP_MN_START_DEVICE,
        {"IRP_MN_START_DEVICE Received : Begin\r\n", "Start Device....\r\n", "IRP_MN_START_DEVICE Received : End\r\n"}},
       STATUS_SUCCESS},
      {{"stop",
        IRP_MN_STOP_DEVICE,
        {"IRP_MN_STOP_DEVICE Received : Begin\r\n", "Stop Device....\r\n", "IRP_MN_STOP_DEVICE Received : End\r\n"}},
       STATUS_SUCCESS},
      {{"query stop", IRP_MN_QUERY_STOP_DEVICE, {}}, STATUS_SUCCESS},
      {{"surprise removal", IRP_MN_SURPRISE_REMOVAL, {}}, STATUS_SUCCESS},
      {{"query remove", IRP_MN_QUERY_REMOVE_DEVICE, {}}, STATUS_SUCCESS},
      // Not the driver's business: the bus's answer, here the status the request was sent with.
      {{"query relations", IRP_MN_QUERY_DEVICE_RELATIONS, {}}, STATUS_NOT_SUPPORTED},
      {{"query interface", IRP_MN_QUERY_INTERFACE, {}}, STATUS_NOT_SUPPORTED},
      {{"unknown 0x42", 0x42, {}}, STATUS_NOT_SUPPORTED},
      {{"remove",
        IRP_MN_REMOVE_DEVICE,
        {"IRP_MN_REMOVE_DEVICE Received : Begin\r\n", "Remove Device....\r\n",
         "IRP_MN_REMOVE_DEVICE Received : End\r\n"}},
       STATUS_SUCCESS},
  };
  for (const auto& [c, status] : cases) {
    SCOPED_TRACE(c.name);
    machine->clearDebugOutput();
    auto result = machine->pnp(*node, c.minor);
    EXPECT_EQ(result.status, status);
    EXPECT_EQ(result.information, 0u);
    EXPECT_EQ(kd(), concat({{"IRP_MJ_PNP Received : Begin\r\n"}, c.lines, {"IRP_MJ_PNP Received : End\r\n"}}));
    EXPECT_EQ(busCount(IRP_MJ_PNP, c.minor), 1u);
    if (c.minor != IRP_MN_REMOVE_DEVICE) {
      EXPECT_EQ(lockCount(), 1);
    }
  }
  // The removal took the device down with everything it held.
  EXPECT_EQ(node->fdo(), nullptr);
  EXPECT_EQ(machine->open(GetParam().device).result.status, STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(machine->poolOutstanding(driver), 0u);
}

TEST_P(PnpTest, CapabilityQueryWithTheBusAnsweringAtOnce) {
  boot(GetParam(), {.start = false});
  DEVICE_CAPABILITIES answer{};
  auto result = machine->queryCapabilities(*node, &answer);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, 0u);
  EXPECT_EQ(kd(), concat({kQueryOpening, {kCompletionReturn}, kQueryClosing}));
  EXPECT_EQ(busCount(IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES), 1u);
  EXPECT_EQ(lockCount(), 1);
  DEVICE_CAPABILITIES report = ntsim::rootBusCapabilities();
  EXPECT_EQ(std::memcmp(&extension()->DeviceCapabilities, &answer, sizeof answer), 0);
  EXPECT_EQ(answer.Size, sizeof(DEVICE_CAPABILITIES));
  EXPECT_EQ(answer.Version, 1);
  for (int i = 0; i < 7; ++i) EXPECT_EQ(answer.DeviceState[i], report.DeviceState[i]);
  auto handle = open();
  CAPABILITY_TABLE t = table(handle);
  EXPECT_EQ(t.CapabilitiesQueried, 1);
  for (int i = 0; i < 7; ++i) EXPECT_EQ(t.DeviceState[i], report.DeviceState[i]);
  machine->close(handle);
}

TEST_P(PnpTest, CapabilityQueryWaitsForABusThatAnswersLater) {
  boot(GetParam(), {.start = false});
  auto bus = node->bus();
  bus.pend = true;
  bus.capabilities.DeviceD2 = 1;
  node->setBus(bus);
  auto result = machine->queryCapabilities(*node);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  // The completion routine's last line may come after the waiting thread went on,
  // even after the query returned: wait for the bus's thread to print it.
  Lines lines;
  ASSERT_TRUE(eventually([&] {
    lines = kd();
    return std::find(lines.begin(), lines.end(), kCompletionReturn) != lines.end();
  }));
  auto last = std::find(lines.begin(), lines.end(), kCompletionReturn);
  EXPECT_GT(last - lines.begin(), 4);
  lines.erase(last);
  EXPECT_EQ(lines, concat({kQueryOpening, kQueryClosing}));
  EXPECT_EQ(extension()->DeviceCapabilities.DeviceD2, 1u);
  EXPECT_EQ(lockCount(), 1);
}

TEST_P(PnpTest, AFailedCapabilityQueryLeavesTheTableAlone) {
  boot(GetParam(), {.start = false});
  auto bus = node->bus();
  bus.capabilitiesStatus = STATUS_UNSUCCESSFUL;
  node->setBus(bus);
  auto result = machine->queryCapabilities(*node);
  EXPECT_EQ(result.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(result.information, 0u);
  EXPECT_EQ(kd(), concat({kQueryOpening, {kCompletionReturn, kQueryFailed}, kQueryClosing}));
  auto handle = open();
  CAPABILITY_TABLE t = table(handle);
  EXPECT_EQ(t.CapabilitiesQueried, 0);
  EXPECT_EQ(t.DeviceState[1], 0);
  // After a success, a failure keeps the earlier values.
  bus.capabilitiesStatus = STATUS_SUCCESS;
  node->setBus(bus);
  ASSERT_EQ(machine->queryCapabilities(*node).status, STATUS_SUCCESS);
  bus.capabilitiesStatus = STATUS_NOT_SUPPORTED;
  bus.capabilities.DeviceState[1] = PowerDeviceD2;
  node->setBus(bus);
  EXPECT_EQ(machine->queryCapabilities(*node).status, STATUS_NOT_SUPPORTED);
  t = table(handle);
  EXPECT_EQ(t.CapabilitiesQueried, 1);
  EXPECT_EQ(t.DeviceState[1], PowerDeviceD0);
  EXPECT_EQ(extension()->DeviceCapabilities.DeviceState[1], PowerDeviceD0);
  machine->close(handle);
  EXPECT_EQ(lockCount(), 1);
}

TEST_P(PnpTest, EachReportFlagLandsInItsOwnField) {
  boot(GetParam(), {.start = false});
  auto handle = open();
  struct Case {
    const char* name;
    void (*set)(DEVICE_CAPABILITIES&);
    uint32_t CAPABILITY_TABLE::*field;  // nullptr: no table field changes
  };
  const Case cases[] = {
      {"DeviceD1", [](DEVICE_CAPABILITIES& c) { c.DeviceD1 = 1; }, &CAPABILITY_TABLE::DeviceD1},
      {"DeviceD2", [](DEVICE_CAPABILITIES& c) { c.DeviceD2 = 1; }, &CAPABILITY_TABLE::DeviceD2},
      {"WakeFromD0", [](DEVICE_CAPABILITIES& c) { c.WakeFromD0 = 1; }, &CAPABILITY_TABLE::WakeFromD0},
      {"WakeFromD1", [](DEVICE_CAPABILITIES& c) { c.WakeFromD1 = 1; }, &CAPABILITY_TABLE::WakeFromD1},
      {"WakeFromD2", [](DEVICE_CAPABILITIES& c) { c.WakeFromD2 = 1; }, &CAPABILITY_TABLE::WakeFromD2},
      {"WakeFromD3", [](DEVICE_CAPABILITIES& c) { c.WakeFromD3 = 1; }, &CAPABILITY_TABLE::WakeFromD3},
      {"Removable", [](DEVICE_CAPABILITIES& c) { c.Removable = 1; }, nullptr},
      {"SurpriseRemovalOK", [](DEVICE_CAPABILITIES& c) { c.SurpriseRemovalOK = 1; }, nullptr},
      {"LockSupported", [](DEVICE_CAPABILITIES& c) { c.LockSupported = 1; }, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DEVICE_CAPABILITIES report = ntsim::rootBusCapabilities();
    c.set(report);
    setReport(report);
    ASSERT_EQ(machine->queryCapabilities(*node).status, STATUS_SUCCESS);
    CAPABILITY_TABLE t = table(handle);
    for (auto field : {&CAPABILITY_TABLE::DeviceD1, &CAPABILITY_TABLE::DeviceD2, &CAPABILITY_TABLE::WakeFromD0,
                       &CAPABILITY_TABLE::WakeFromD1, &CAPABILITY_TABLE::WakeFromD2, &CAPABILITY_TABLE::WakeFromD3}) {
      EXPECT_EQ(t.*field, field == c.field ? 1u : 0u);
    }
    // Every flag, mapped or not, is in the extension's copy.
    EXPECT_EQ(std::memcmp(&extension()->DeviceCapabilities.Address, &report.Address,
                          sizeof report - offsetof(DEVICE_CAPABILITIES, Address)),
              0);
    EXPECT_EQ(extension()->DeviceCapabilities.Removable, report.Removable);
    EXPECT_EQ(extension()->DeviceCapabilities.SurpriseRemovalOK, report.SurpriseRemovalOK);
  }
  machine->close(handle);
}

TEST_P(PnpTest, WakeStatesAndEveryDeviceStateAreCopied) {
  boot(GetParam(), {.start = false});
  auto handle = open();
  DEVICE_CAPABILITIES report = ntsim::rootBusCapabilities();
  report.DeviceD1 = 1;
  report.SystemWake = PowerSystemSleeping3;
  report.DeviceWake = PowerDeviceD2;
  const DEVICE_POWER_STATE states[7] = {PowerDeviceUnspecified, PowerDeviceD0, PowerDeviceD1,         PowerDeviceD2,
                                        PowerDeviceD3,          PowerDeviceD0, PowerDeviceUnspecified};
  std::copy(std::begin(states), std::end(states), report.DeviceState);
  setReport(report);
  ASSERT_EQ(machine->queryCapabilities(*node).status, STATUS_SUCCESS);
  CAPABILITY_TABLE t = table(handle);
  EXPECT_EQ(t.CapabilitiesQueried, 1);
  EXPECT_EQ(t.Reserved[0] | t.Reserved[1] | t.Reserved[2], 0);
  EXPECT_EQ(t.DeviceD1, 1u);
  EXPECT_EQ(t.DeviceD2, 0u);
  EXPECT_EQ(t.SystemWake, PowerSystemSleeping3);  // slot 0x1C
  EXPECT_EQ(t.DeviceWake, PowerDeviceD2);         // slot 0x20
  for (int i = 0; i < 7; ++i) EXPECT_EQ(t.DeviceState[i], states[i]) << "DeviceState[" << i << "]";

  // A second report overwrites every field.
  DEVICE_CAPABILITIES second{};
  second.DeviceD2 = 1;
  second.WakeFromD3 = 1;
  second.SystemWake = PowerSystemWorking;
  second.DeviceWake = PowerDeviceD3;
  for (int i = 0; i < 7; ++i) second.DeviceState[i] = PowerDeviceD3;
  setReport(second);
  ASSERT_EQ(machine->queryCapabilities(*node).status, STATUS_SUCCESS);
  t = table(handle);
  EXPECT_EQ(t.CapabilitiesQueried, 1);
  EXPECT_EQ(t.DeviceD1, 0u);
  EXPECT_EQ(t.DeviceD2, 1u);
  EXPECT_EQ(t.WakeFromD3, 1u);
  EXPECT_EQ(t.SystemWake, PowerSystemWorking);
  EXPECT_EQ(t.DeviceWake, PowerDeviceD3);
  for (int i = 0; i < 7; ++i) EXPECT_EQ(t.DeviceState[i], PowerDeviceD3);
  machine->close(handle);
}

INSTANTIATE_TEST_SUITE_P(Drivers, PnpTest, ::testing::ValuesIn(kAllDrivers), PrintKind);

}  // namespace
}  // namespace pdkit::test
