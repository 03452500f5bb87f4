// The fault matrix: every kernel call of the drivers that can fail is made to
// fail in turn, on every driver — each allocation of AddDevice, IoCreateDevice,
// the attachment, the mapping of a caller's buffer, PoRequestPowerIrp, and the
// bus's answers to the capability query and to power IRPs. Each time the
// driver must fail the one request cleanly, with a clear status, leak
// nothing, leave its lock balanced, and go on serving everything else.
#include "reliability_fixture.h"

#include <cstring>
#include <vector>

namespace pdkit::test::reliability {
namespace {

class FaultMatrixTest : public ReliabilityTest, public ::testing::WithParamInterface<DriverKind> {
 protected:
  // A failed AddDevice leaves nothing: no device, no name, no pool, no attachment.
  void expectNothingLeft(ntsim::DeviceNode& failed) {
    EXPECT_EQ(failed.fdo(), nullptr);
    EXPECT_EQ(driver->object()->DeviceObject, nullptr);
    EXPECT_EQ(machine->poolOutstanding(driver), 0u);
    EXPECT_EQ(machine->open(kind_->device).result.status, STATUS_OBJECT_NAME_NOT_FOUND);
  }

  void setBusAnswers(NTSTATUS capabilities, NTSTATUS power, bool pend) {
    changeBus([&](ntsim::BusBehaviour& bus) {
      bus.capabilitiesStatus = capabilities;
      bus.powerStatus = power;
      bus.pend = pend;
    });
  }

  void settle() {
    ASSERT_TRUE(eventually([&] { return machine->busCompletionsInFlight() == 0; }));
  }
};

// ---------------------------------------------------------------- AddDevice

TEST_P(FaultMatrixTest, EachAllocationOfAddDeviceFailingInTurn) {
  load(GetParam());
  // How many allocations a successful AddDevice makes, counted on a first device.
  size_t before = machine->poolAllocations();
  addAndStart();
  const size_t allocations = machine->poolAllocations() - before;
  EXPECT_EQ(allocations, deviceBlocks());
  unloadClean();

  for (size_t failing = 0; failing < allocations; ++failing) {
    SCOPED_TRACE("allocation #" + std::to_string(failing) + " fails");
    load(GetParam());
    machine->faults().pool = 1;
    machine->faults().poolSkip = static_cast<int>(failing);
    ntsim::DeviceNode& failed = machine->addDevice(*driver);
    EXPECT_EQ(failed.addDeviceStatus(), STATUS_INSUFFICIENT_RESOURCES);
    expectNothingLeft(failed);
    // The next attempt builds the device whole, and it serves.
    addAndStart();
    expectServing("after the failed allocation");
    unloadClean();
  }
}

TEST_P(FaultMatrixTest, DeviceCreationFailingReturnsItsStatus) {
  for (NTSTATUS status : {STATUS_INSUFFICIENT_RESOURCES, STATUS_OBJECT_NAME_COLLISION, STATUS_UNSUCCESSFUL}) {
    SCOPED_TRACE(ntsim::statusName(status));
    load(GetParam());
    machine->faults().createDevice = 1;
    machine->faults().createDeviceStatus = status;
    ntsim::DeviceNode& failed = machine->addDevice(*driver);
    EXPECT_EQ(failed.addDeviceStatus(), status);
    expectNothingLeft(failed);
    addAndStart();
    expectServing("after the failed device creation");
    unloadClean();
  }
}

TEST_P(FaultMatrixTest, AttachmentFailingUndoesTheDevice) {
  load(GetParam());
  machine->faults().attach = 1;
  ntsim::DeviceNode& failed = machine->addDevice(*driver);
  EXPECT_EQ(failed.addDeviceStatus(), STATUS_NO_SUCH_DEVICE);
  expectNothingLeft(failed);
  addAndStart();
  expectServing("after the failed attachment");
  unloadClean();
}

TEST_P(FaultMatrixTest, UnloadAfterOnlyFailedAttemptsFreesNothingTwice) {
  load(GetParam());
  machine->faults().pool = 1;
  EXPECT_EQ(machine->addDevice(*driver).addDeviceStatus(), STATUS_INSUFFICIENT_RESOURCES);
  machine->faults().attach = 1;
  EXPECT_EQ(machine->addDevice(*driver).addDeviceStatus(), STATUS_NO_SUCH_DEVICE);
  unloadClean();
}

// ---------------------------------------------------------------- mapping the caller's buffer

TEST_P(FaultMatrixTest, MappingFailingFailsOnlyThatTransfer) {
  if (!GetParam().directIo) GTEST_SKIP() << "only the direct-transfer driver maps the caller's buffer";
  boot(GetParam());
  auto handle = open();
  Bytes stored = pattern(64, 0x10), back;
  ASSERT_EQ(writeBytes(handle, stored).information, 64u);
  for (bool reading : {true, false}) {
    SCOPED_TRACE(reading ? "read" : "write");
    machine->faults().mapping = 1;
    Bytes attempt = pattern(32, 0x77);
    auto result = reading ? read(handle, 32, &back) : writeBytes(handle, attempt);
    EXPECT_EQ(result.status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(result.information, 0u);
    if (reading) {
      EXPECT_EQ(back, Bytes(32, 0xEE)) << "nothing reaches the caller";
    }
    Bytes now = store();
    EXPECT_EQ(Bytes(now.begin(), now.begin() + 64), stored) << "the store is untouched";
    EXPECT_EQ(lockCount(), 2) << "only the handle holds the lock";
    EXPECT_EQ(machine->faults().mapping, 0);
  }
  // An empty transfer has nothing to map, so a pending fault does not touch it.
  machine->faults().mapping = 1;
  EXPECT_EQ(read(handle, 0, &back).status, STATUS_SUCCESS);
  EXPECT_EQ(machine->faults().mapping, 1);
  machine->faults().mapping = 0;
  machine->close(handle);
  expectServing("after the failed mappings");
  unloadClean();
}

// ---------------------------------------------------------------- PoRequestPowerIrp

TEST_P(FaultMatrixTest, PowerRequestRefusedFailsTheSystemQueryLeavesTheSystemSetSuccessfulAndTheNextCycleWorks) {
  boot(GetParam());
  for (UCHAR minor : {IRP_MN_QUERY_POWER, IRP_MN_SET_POWER}) {
    SCOPED_TRACE(minor == IRP_MN_SET_POWER ? "set" : "query");
    machine->faults().powerRequest = 1;
    machine->faults().powerRequestStatus = STATUS_INSUFFICIENT_RESOURCES;
    auto result = machine->powerIrp(*node, minor, SystemPowerState, PowerSystemSleeping3, PowerActionSleep);
    settle();
    // A query may be refused; a system set-power IRP is never failed: it keeps the bus's answer.
    EXPECT_EQ(result.status, minor == IRP_MN_SET_POWER ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(result.information, 0u);
    EXPECT_EQ(lockCount(), 1);
    EXPECT_EQ(extension()->DevicePowerState, PowerDeviceD0) << "no device IRP went out";
    EXPECT_EQ(takeViolations(), std::vector<std::string>{});
  }
  expectServing("after the refused power requests");
  unloadClean();
}

// ---------------------------------------------------------------- the bus's answers

TEST_P(FaultMatrixTest, CapabilityQueryFailingBelowKeepsTheTable) {
  boot(GetParam());
  auto handle = open();
  const CAPABILITY_TABLE before = table(handle);
  ASSERT_EQ(before.CapabilitiesQueried, 1);
  for (bool pend : {false, true}) {
    for (NTSTATUS status : {STATUS_UNSUCCESSFUL, STATUS_NOT_SUPPORTED, STATUS_BUFFER_OVERFLOW}) {
      SCOPED_TRACE(ntsim::statusName(status) + (pend ? ", pending" : ""));
      DEVICE_CAPABILITIES other = ntsim::rootBusCapabilities();
      other.DeviceD1 = 1;
      setReport(other);
      setBusAnswers(status, STATUS_SUCCESS, pend);
      EXPECT_EQ(machine->queryCapabilities(*node).status, status);
      settle();
      CAPABILITY_TABLE after = table(handle);
      EXPECT_EQ(std::memcmp(&after, &before, sizeof after), 0) << "a failed query changes nothing";
      EXPECT_EQ(lockCount(), 2);
    }
  }
  setReport(ntsim::rootBusCapabilities());
  setBusAnswers(STATUS_SUCCESS, STATUS_SUCCESS, false);
  EXPECT_EQ(machine->queryCapabilities(*node).status, STATUS_SUCCESS);
  machine->close(handle);
  expectServing("after the failed capability queries");
  unloadClean();
}

struct PowerFailure {
  const char* name;
  UCHAR minor;
  POWER_STATE_TYPE type;
  ULONG state;
  NTSTATUS expected;  // the outcome the sender sees when the bus answers STATUS_UNSUCCESSFUL
  bool setFails;      // a set-power IRP ends in failure: the verifier reports it
};

TEST_P(FaultMatrixTest, PowerIrpsFailingBelowFailCleanlyAndTheNextCycleWorks) {
  boot(GetParam());
  const PowerFailure failures[] = {
      {"DeviceQuery", IRP_MN_QUERY_POWER, DevicePowerState, PowerDeviceD3, STATUS_UNSUCCESSFUL, false},
      {"DeviceSetDown", IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3, STATUS_UNSUCCESSFUL, true},
      {"DeviceSetUp", IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0, STATUS_UNSUCCESSFUL, true},
      {"SystemQuery", IRP_MN_QUERY_POWER, SystemPowerState, PowerSystemSleeping3, STATUS_UNSUCCESSFUL, false},
      {"SystemSet", IRP_MN_SET_POWER, SystemPowerState, PowerSystemSleeping3, STATUS_UNSUCCESSFUL, true},
  };
  for (bool pend : {false, true}) {
    for (const PowerFailure& failure : failures) {
      SCOPED_TRACE(std::string(failure.name) + (pend ? ", pending" : ""));
      setBusAnswers(STATUS_SUCCESS, STATUS_UNSUCCESSFUL, pend);
      auto result = machine->powerIrp(*node, failure.minor, failure.type, failure.state, PowerActionSleep);
      settle();
      EXPECT_EQ(result.status, failure.expected);
      EXPECT_EQ(result.information, 0u);
      EXPECT_EQ(lockCount(), 1);
      EXPECT_EQ(takeViolations(),
                failure.setFails ? std::vector<std::string>{"SET_POWER_FAILED"} : std::vector<std::string>{});
      // Back to a working device before the next failure.
      setBusAnswers(STATUS_SUCCESS, STATUS_SUCCESS, false);
      EXPECT_EQ(machine->systemPower(*node, PowerSystemWorking, PowerActionNone).status, STATUS_SUCCESS);
      settle();
      EXPECT_EQ(extension()->DevicePowerState, PowerDeviceD0);
    }
  }
  expectServing("after the failed power IRPs");
  unloadClean();
}

INSTANTIATE_TEST_SUITE_P(Drivers, FaultMatrixTest, ::testing::ValuesIn(kAllDrivers), PrintKind);

}  // namespace
}  // namespace pdkit::test::reliability
