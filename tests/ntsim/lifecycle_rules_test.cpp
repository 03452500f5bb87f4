// The Plug and Play and power rules of a device's life, each proved by the
// faulty_pnp driver breaking it in one mode; a well-behaved mode runs every
// sequence without a report.
#include "ntsim_test.h"

#include <algorithm>
#include <functional>

namespace pdkit::test {
namespace {

class LifecycleRulesTest : public MachineTest {
 protected:
  // Loads faulty_pnp in the given mode and adds its device.
  void boot(int mode) {
    driver = &machine->load(driverPath("faulty_pnp"));
    *static_cast<int*>(driver->symbol("FaultyPnpMode")) = mode;
    node = &machine->addDevice(*driver);
    ASSERT_EQ(node->addDeviceStatus(), STATUS_SUCCESS);
  }

  ntsim::Driver* driver = nullptr;
  ntsim::DeviceNode* node = nullptr;
};

struct RuleCase {
  const char* name;
  int mode;  // FaultyPnpModes in faulty_pnp_driver.cpp
  std::function<void(ntsim::Machine&, ntsim::DeviceNode&, ntsim::Driver&)> act;
  std::vector<std::string> rules;  // reported, in order
};

TEST_F(LifecycleRulesTest, EachLifecycleRuleIsReportedForTheDriverThatBreaksIt) {
  const RuleCase cases[] = {
      {"well behaved, whole life",
       0,
       [](ntsim::Machine& m, ntsim::DeviceNode& n, ntsim::Driver& d) {
         EXPECT_EQ(m.startDevice(n).status, STATUS_SUCCESS);
         EXPECT_EQ(m.rebalance(n).status, STATUS_SUCCESS);
         EXPECT_EQ(m.powerIrp(n, IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3).status, STATUS_SUCCESS);
         EXPECT_EQ(m.powerIrp(n, IRP_MN_WAIT_WAKE, SystemPowerState, PowerSystemSleeping3).status,
                   STATUS_NOT_SUPPORTED);
         EXPECT_EQ(m.disableDevice(n).status, STATUS_SUCCESS);
         EXPECT_EQ(m.enableDevice(n).status, STATUS_SUCCESS);
         EXPECT_EQ(m.surpriseRemove(n).status, STATUS_SUCCESS);
         EXPECT_EQ(n.state(), ntsim::DeviceState::removed);
         EXPECT_EQ(m.enableDevice(n).status, STATUS_SUCCESS);
         EXPECT_EQ(m.uninstall(d).status, STATUS_SUCCESS);
         EXPECT_FALSE(d.loaded());
       },
       {}},
      {"start and an unknown request finished in place",
       1,
       [](ntsim::Machine& m, ntsim::DeviceNode& n, ntsim::Driver&) {
         m.pnp(n, IRP_MN_START_DEVICE);
         m.pnp(n, IRP_MN_QUERY_ID);
       },
       {"PNP_IRP_NOT_PASSED_DOWN", "PNP_UNHANDLED_STATUS_CHANGED"}},
      {"removed device kept",
       2,
       [](ntsim::Machine& m, ntsim::DeviceNode& n, ntsim::Driver& d) {
         m.disableDevice(n);
         EXPECT_EQ(m.uninstall(d).status, STATUS_DEVICE_BUSY);
         EXPECT_TRUE(d.loaded());
       },
       {"REMOVED_DEVICE_STILL_ATTACHED", "REMOVED_DEVICE_NOT_DELETED", "DRIVER_NOT_UNLOADED"}},
      {"removed without waiting on the remove lock",
       3,
       [](ntsim::Machine& m, ntsim::DeviceNode& n, ntsim::Driver&) { m.disableDevice(n); },
       {"REMOVE_LOCK_NOT_AWAITED"}},
      {"device set-power and wait-wake finished in place",
       4,
       [](ntsim::Machine& m, ntsim::DeviceNode& n, ntsim::Driver&) {
         m.powerIrp(n, IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3);
         m.powerIrp(n, IRP_MN_WAIT_WAKE, SystemPowerState, PowerSystemSleeping3);
       },
       {"DEVICE_SET_POWER_NOT_PASSED_DOWN", "WAIT_WAKE_COMPLETED_UNARMED"}},
      {"next power IRP started for a wait-wake IRP",
       5,
       [](ntsim::Machine& m, ntsim::DeviceNode& n, ntsim::Driver&) {
         m.powerIrp(n, IRP_MN_WAIT_WAKE, SystemPowerState, PowerSystemSleeping3);
       },
       {"PO_START_NEXT_FOR_WAIT_WAKE"}},
      {"device IRP requested for PowerDeviceUnspecified",
       6,
       [](ntsim::Machine& m, ntsim::DeviceNode&, ntsim::Driver&) {
         auto opened = m.open("\\\\.\\FAULTYPNP");
         EXPECT_EQ(m.deviceIoControl(opened.handle, 0x222000, nullptr, 0, nullptr, 0).status,
                   STATUS_INVALID_PARAMETER_3);
         m.close(opened.handle);
       },
       {"PO_REQUEST_INVALID_POWER_STATE"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    machine.reset();
    machine = std::make_unique<ntsim::Machine>();
    boot(c.mode);
    c.act(*machine, *node, *driver);
    EXPECT_EQ(takeViolations(), c.rules);
  }
}

TEST_F(LifecycleRulesTest, AddDeviceThatLeavesTheDeviceInitializingIsReported) {
  driver = &machine->load(driverPath("faulty_pnp"));
  *static_cast<int*>(driver->symbol("FaultyPnpMode")) = 7;
  machine->addDevice(*driver);
  EXPECT_EQ(takeViolations(), std::vector<std::string>{"DEVICE_INITIALIZING_AFTER_ADD_DEVICE"});
}

TEST_F(LifecycleRulesTest, DisableIsVetoedWhileAHandleIsOpenAndSendsNothing) {
  boot(0);
  machine->startDevice(*node);
  auto opened = machine->open("\\\\.\\FAULTYPNP");
  size_t before = node->busRecords().size();
  EXPECT_EQ(machine->disableDevice(*node).status, STATUS_PLUGPLAY_QUERY_VETOED);
  EXPECT_EQ(node->busRecords().size(), before);
  machine->close(opened.handle);
  EXPECT_EQ(machine->disableDevice(*node).status, STATUS_SUCCESS);
  EXPECT_EQ(machine->open("\\\\.\\FAULTYPNP").result.status, STATUS_OBJECT_NAME_NOT_FOUND);
}

}  // namespace
}  // namespace pdkit::test
