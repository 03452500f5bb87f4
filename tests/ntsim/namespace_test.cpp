// The \DosDevices namespace: names are unique, a collision changes nothing,
// and a deleted device's name is free again.
#include "inproc.h"

namespace pdkit::test {
namespace {

NTSTATUS countAndSucceed(PDEVICE_OBJECT device, PIRP irp) {
  (*contextOf<int>(device))++;
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

class NamespaceTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    driver = machine->createDriverObject();
    driver->MajorFunction[IRP_MJ_CREATE] = countAndSucceed;
    driver->MajorFunction[IRP_MJ_CLEANUP] = countAndSucceed;
    driver->MajorFunction[IRP_MJ_CLOSE] = countAndSucceed;
  }
  PDRIVER_OBJECT driver = nullptr;
};

TEST_F(NamespaceTest, TakenNameCollidesAndChangesNothing) {
  int firstOpens = 0;
  PDEVICE_OBJECT first = makeDevice(driver, &firstOpens, u"\\DosDevices\\NSTEST");
  const char16_t* clashing[] = {u"\\DosDevices\\NSTEST", u"\\DosDevices\\nstest", u"\\DOSDEVICES\\NsTest"};
  for (const char16_t* name : clashing) {
    UNICODE_STRING text = unicode(name);
    auto* stale = reinterpret_cast<PDEVICE_OBJECT>(0x1);
    PDEVICE_OBJECT second = stale;
    EXPECT_EQ(IoCreateDevice(driver, 16, &text, FILE_DEVICE_UNKNOWN, 0, FALSE, &second), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION, static_cast<NTSTATUS>(0xC0000035));
  }
  // The driver's device list and the name still lead to the first device only.
  EXPECT_EQ(driver->DeviceObject, first);
  EXPECT_EQ(first->NextDevice, nullptr);
  auto open = machine->open("\\\\.\\NSTEST");
  ASSERT_EQ(open.result.status, STATUS_SUCCESS);
  EXPECT_EQ(machine->fileObject(open.handle)->DeviceObject, first);
  EXPECT_EQ(firstOpens, 1);
  machine->close(open.handle);
  IoDeleteDevice(first);
}

TEST_F(NamespaceTest, NameIsFreeAgainAfterDelete) {
  int opens = 0;
  PDEVICE_OBJECT first = makeDevice(driver, &opens, u"\\DosDevices\\NSTEST");
  IoDeleteDevice(first);
  EXPECT_EQ(driver->DeviceObject, nullptr);
  EXPECT_EQ(machine->open("\\\\.\\NSTEST").result.status, STATUS_OBJECT_NAME_NOT_FOUND);
  PDEVICE_OBJECT again = makeDevice(driver, &opens, u"\\DosDevices\\NSTEST");
  ASSERT_NE(again, nullptr);
  auto open = machine->open("\\\\.\\NSTEST");
  ASSERT_EQ(open.result.status, STATUS_SUCCESS);
  EXPECT_EQ(machine->fileObject(open.handle)->DeviceObject, again);
  machine->close(open.handle);
  IoDeleteDevice(again);
}

TEST_F(NamespaceTest, UnnamedDevicesNeverCollide) {
  PDEVICE_OBJECT a = makeDevice(driver, nullptr);
  PDEVICE_OBJECT b = makeDevice(driver, nullptr);
  EXPECT_NE(a, b);
  EXPECT_EQ(a->Flags & DO_DEVICE_HAS_NAME, 0u);
  // Newest first, as the I/O manager links them.
  EXPECT_EQ(driver->DeviceObject, b);
  EXPECT_EQ(b->NextDevice, a);
  IoDeleteDevice(a);
  EXPECT_EQ(driver->DeviceObject, b);
  EXPECT_EQ(b->NextDevice, nullptr);
  IoDeleteDevice(b);
}

TEST_F(NamespaceTest, DeviceStillInitialisingCannotBeOpened) {
  UNICODE_STRING name = unicode(u"\\DosDevices\\NSINIT");
  PDEVICE_OBJECT device = nullptr;
  ASSERT_EQ(IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
  EXPECT_NE(device->Flags & DO_DEVICE_INITIALIZING, 0u);
  EXPECT_NE(device->Flags & DO_DEVICE_HAS_NAME, 0u);
  EXPECT_TRUE(machine->open("\\\\.\\NSINIT").result.failed());
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  IoDeleteDevice(device);
}

}  // namespace
}  // namespace pdkit::test
