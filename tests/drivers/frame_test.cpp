// Driver entry, device creation, open and close, unload: the frame the
// three drivers share, run over each of them.
#include "driver_fixture.h"

namespace pdkit::test {
namespace {

class FrameTest : public DriverTest, public ::testing::WithParamInterface<DriverKind> {};

Lines addDeviceLines(const DriverKind& kind) {
  return kind.tracesFrame ? Lines{"In AddDevice : Begin\r\n", "In AddDevice : End\r\n"} : Lines{};
}

std::string faultName(const ::testing::TestParamInfo<std::tuple<DriverKind, struct AddDeviceFault>>& param);

TEST_P(FrameTest, DriverEntryFillsItsEntriesAndLeavesTheRestToTheIoManager) {
  const DriverKind& kind = GetParam();
  load(kind);
  PDRIVER_OBJECT object = driver->object();
  PDRIVER_DISPATCH defaultEntry = machine->createDriverObject()->MajorFunction[IRP_MJ_CLEANUP];
  for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
    bool filled = major == IRP_MJ_CREATE || major == IRP_MJ_CLOSE || major == IRP_MJ_DEVICE_CONTROL ||
                  major == IRP_MJ_POWER || major == IRP_MJ_PNP ||
                  (kind.hasStore && (major == IRP_MJ_READ || major == IRP_MJ_WRITE));
    EXPECT_EQ(object->MajorFunction[major] != defaultEntry, filled) << "major function " << major;
  }
  EXPECT_NE(object->DriverUnload, nullptr);
  EXPECT_NE(object->DriverExtension->AddDevice, nullptr);
  EXPECT_EQ(object->DriverStartIo, nullptr);
}

TEST_P(FrameTest, AddDeviceBuildsTheDeviceAndItsExtension) {
  const DriverKind& kind = GetParam();
  boot(kind, {.start = false});
  PDEVICE_OBJECT fdo = node->fdo();
  ASSERT_NE(fdo, nullptr);
  EXPECT_EQ(fdo->DeviceType, static_cast<ULONG>(FILE_DEVICE_UNKNOWN));
  EXPECT_EQ(fdo->Characteristics, static_cast<ULONG>(FILE_DEVICE_SECURE_OPEN));
  EXPECT_EQ(fdo->Flags & (DO_DEVICE_INITIALIZING | DO_POWER_PAGABLE | DO_EXCLUSIVE), 0u);
  EXPECT_EQ(fdo->Flags & (DO_DIRECT_IO | DO_BUFFERED_IO), kind.transferFlag);
  PDEVICE_EXTENSION ext = extension();
  EXPECT_EQ(ext->DeviceObject, fdo);
  EXPECT_EQ(ext->NextStackDevice, node->pdo());
  EXPECT_EQ(ext->SystemPowerState, PowerSystemWorking);
  EXPECT_EQ(ext->DevicePowerState, PowerDeviceD0);
  EXPECT_EQ(lockCount(), 1);
  if (kind.hasStore) {
    EXPECT_EQ(store(), Bytes(DATA_BUFFER_SIZE, 0));
    EXPECT_EQ(machine->poolTagOf(ext->DataBuffer), POOL_TAG);
  } else {
    EXPECT_EQ(ext->DataBuffer, nullptr);
  }
  // The description: two lines, each ended by "\r\n", counted in bytes without a null.
  std::string description = ntsim::narrow(ext->DeviceDescription);
  EXPECT_EQ(ext->DeviceDescription.Length % 2, 0);
  EXPECT_EQ(ext->DeviceDescription.MaximumLength, ext->DeviceDescription.Length + 2);
  ASSERT_GE(description.size(), 4u);
  EXPECT_EQ(description.substr(description.size() - 2), "\r\n");
  EXPECT_NE(description.find("\r\n"), description.size() - 2);
  // Blocks of the driver: the table and, with a store, the store.
  EXPECT_EQ(machine->poolOutstanding(driver), kind.hasStore ? 2u : 1u);
  auto handle = open();
  EXPECT_EQ(table(handle).CapabilitiesQueried, 0);
  machine->close(handle);
}

TEST_P(FrameTest, LoadAndAddDeviceTraceOnlyOnTheControlDriver) {
  const DriverKind& kind = GetParam();
  load(kind);
  node = &machine->addDevice(*driver);
  Lines expected = kind.tracesFrame ? Lines{"In DriverEntry : Begin\r\n", "In DriverEntry : End\r\n",
                                            "In AddDevice : Begin\r\n", "In AddDevice : End\r\n"}
                                    : Lines{};
  EXPECT_EQ(kd(), expected);
}

TEST_P(FrameTest, EachHandleHoldsTheRemoveLockWithItsFileObject) {
  const DriverKind& kind = GetParam();
  boot(kind);
  auto first = machine->open(kind.device);
  ASSERT_EQ(first.result.status, STATUS_SUCCESS);
  EXPECT_EQ(first.result.information, 0u);
  auto second = machine->open(kind.device);
  ASSERT_EQ(second.result.status, STATUS_SUCCESS);
  EXPECT_EQ(lockCount(), 3);
  auto tags = machine->removeLockTags(&extension()->RemoveLock);
  EXPECT_EQ(tags, (std::vector<PVOID>{machine->fileObject(first.handle), machine->fileObject(second.handle)}));
  expectHoldsNameTheirCalls();
  // Closed in the other order: each close gives back its own acquisition.
  auto closed = machine->close(first.handle);
  EXPECT_EQ(closed.status, STATUS_SUCCESS);
  EXPECT_EQ(closed.information, 0u);
  EXPECT_EQ(machine->removeLockTags(&extension()->RemoveLock), std::vector<PVOID>{machine->fileObject(second.handle)});
  EXPECT_EQ(machine->close(second.handle).status, STATUS_SUCCESS);
  EXPECT_EQ(lockCount(), 1);
  Lines one =
      kind.tracesFrame ? Lines{"IRP_MJ_CREATE Received : Begin\r\n", "IRP_MJ_CREATE Received : End\r\n"} : Lines{};
  Lines close = kind.tracesFrame ? Lines{"IRP_MJ_CLOSE Received : Begin\r\n"} : Lines{};
  EXPECT_EQ(kd(), concat({one, one, close, close}));
}

TEST_P(FrameTest, AnOpenBelowTheDeviceNameReachesTheDevice) {
  const DriverKind& kind = GetParam();
  boot(kind);
  auto opened = machine->open(std::string(kind.device) + "\\more\\and more");
  ASSERT_EQ(opened.result.status, STATUS_SUCCESS);
  EXPECT_EQ(ntsim::narrow(machine->fileObject(opened.handle)->FileName), "\\more\\and more");
  EXPECT_EQ(lockCount(), 2);
  machine->close(opened.handle);
  EXPECT_EQ(lockCount(), 1);
}

TEST_P(FrameTest, CleanupNeverReachesTheDriverAndCloseStillDoes) {
  const DriverKind& kind = GetParam();
  boot(kind);
  PDRIVER_OBJECT object = driver->object();
  PDRIVER_DISPATCH defaultEntry = machine->createDriverObject()->MajorFunction[IRP_MJ_CLEANUP];
  EXPECT_EQ(object->MajorFunction[IRP_MJ_CLEANUP], defaultEntry);
  EXPECT_EQ(object->MajorFunction[IRP_MJ_SYSTEM_CONTROL], defaultEntry);
  auto handle = open();
  EXPECT_EQ(machine->close(handle).status, STATUS_SUCCESS);
  EXPECT_EQ(lockCount(), 1);  // the close reached DispatchClose and released the handle's acquisition
}

TEST_P(FrameTest, ASecondAddDeviceCollidesAndLeavesTheFirstDeviceAlone) {
  const DriverKind& kind = GetParam();
  boot(kind);
  auto handle = open();
  CAPABILITY_TABLE before = table(handle);
  ASSERT_EQ(before.CapabilitiesQueried, 1);
  size_t blocks = machine->poolOutstanding(driver);
  PDEVICE_OBJECT first = node->fdo();
  machine->clearDebugOutput();
  ntsim::DeviceNode& second = machine->addDevice(*driver);
  EXPECT_EQ(second.addDeviceStatus(), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(second.fdo(), nullptr);
  EXPECT_EQ(kd(), addDeviceLines(kind));
  EXPECT_EQ(machine->poolOutstanding(driver), blocks);
  EXPECT_EQ(node->fdo(), first);
  CAPABILITY_TABLE after = table(handle);
  EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0);
  auto another = machine->open(kind.device);
  EXPECT_EQ(another.result.status, STATUS_SUCCESS);
  machine->close(another.handle);
  machine->close(handle);
}

TEST_P(FrameTest, UnloadFreesDetachesAndDeletesOnce) {
  const DriverKind& kind = GetParam();
  boot(kind);
  PDEVICE_OBJECT pdo = node->pdo();
  machine->unload(*driver);
  EXPECT_EQ(kd(), (Lines{"In DriverUnload : Begin\r\n", "In DriverUnload : End\r\n"}));
  EXPECT_EQ(pdo->AttachedDevice, nullptr);
  EXPECT_EQ(machine->poolOutstanding(), 0u);
  EXPECT_EQ(machine->open(kind.device).result.status, STATUS_OBJECT_NAME_NOT_FOUND);
  // TearDown fails the test on any POOL_LEAK, POOL_DOUBLE_FREE or DEVICE_LEFT_AT_UNLOAD report.
}

TEST_P(FrameTest, UnloadWithoutADeviceTracesItsTwoLinesOnly) {
  const DriverKind& kind = GetParam();
  load(kind);
  machine->clearDebugOutput();
  machine->unload(*driver);
  EXPECT_EQ(kd(), (Lines{"In DriverUnload : Begin\r\n", "In DriverUnload : End\r\n"}));
}

TEST_P(FrameTest, ReloadingStartsFromFreshGlobals) {
  const DriverKind& kind = GetParam();
  boot(kind);
  machine->unload(*driver);
  boot(kind, {.start = false});
  auto handle = open();
  CAPABILITY_TABLE fresh = table(handle);
  EXPECT_EQ(fresh.CapabilitiesQueried, 0);
  machine->close(handle);
}

struct AddDeviceFault {
  const char* name;
  int poolSkip;  // allocations that succeed before the failing one
  bool attach;
  NTSTATUS expected;
};

void PrintTo(const AddDeviceFault& fault, std::ostream* os) { *os << fault.name; }

class AddDeviceFaultTest : public DriverTest,
                           public ::testing::WithParamInterface<std::tuple<DriverKind, AddDeviceFault>> {};

TEST_P(AddDeviceFaultTest, AFailedStepUndoesEverythingAndTheNextAttemptWorks) {
  const auto& [kind, fault] = GetParam();
  if (!kind.hasStore && fault.poolSkip > 0) GTEST_SKIP() << "the control driver allocates only its table";
  load(kind);
  machine->clearDebugOutput();
  if (fault.attach) {
    machine->faults().attach = 1;
  } else {
    machine->faults().pool = 1;
    machine->faults().poolSkip = fault.poolSkip;
  }
  ntsim::DeviceNode& failed = machine->addDevice(*driver);
  EXPECT_EQ(failed.addDeviceStatus(), fault.expected);
  EXPECT_EQ(failed.fdo(), nullptr);
  EXPECT_EQ(driver->object()->DeviceObject, nullptr);
  EXPECT_EQ(machine->poolOutstanding(driver), 0u);
  EXPECT_EQ(machine->open(kind.device).result.status, STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(kd(), addDeviceLines(kind));
  // Nothing half-built is left: a second attempt creates the device.
  addAndStart({.start = false});
  auto handle = open();
  EXPECT_EQ(table(handle).CapabilitiesQueried, 0);
  machine->close(handle);
  machine->unload(*driver);
  EXPECT_EQ(machine->poolOutstanding(), 0u);
}

TEST_P(FrameTest, AFailedDeviceCreationReturnsItsStatus) {
  const DriverKind& kind = GetParam();
  load(kind);
  machine->clearDebugOutput();
  machine->faults().createDevice = 1;
  machine->faults().createDeviceStatus = STATUS_INSUFFICIENT_RESOURCES;
  ntsim::DeviceNode& failed = machine->addDevice(*driver);
  EXPECT_EQ(failed.addDeviceStatus(), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(machine->poolOutstanding(driver), 0u);
  EXPECT_EQ(kd(), addDeviceLines(kind));
}

std::string faultName(const ::testing::TestParamInfo<std::tuple<DriverKind, AddDeviceFault>>& param) {
  return std::string(std::get<0>(param.param).module) + "_" + std::get<1>(param.param).name;
}

INSTANTIATE_TEST_SUITE_P(Drivers, FrameTest, ::testing::ValuesIn(kAllDrivers), PrintKind);

INSTANTIATE_TEST_SUITE_P(
    Drivers, AddDeviceFaultTest,
    ::testing::Combine(::testing::ValuesIn(kAllDrivers),
                       ::testing::Values(AddDeviceFault{"FirstAllocation", 0, false, STATUS_INSUFFICIENT_RESOURCES},
                                         AddDeviceFault{"SecondAllocation", 1, false, STATUS_INSUFFICIENT_RESOURCES},
                                         AddDeviceFault{"Attachment", 0, true, STATUS_NO_SUCH_DEVICE})),
    faultName);

}  // namespace
}  // namespace pdkit::test
