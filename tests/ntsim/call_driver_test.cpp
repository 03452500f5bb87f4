// IofCallDriver and the stack-location macros, and the I/O manager's
// default dispatch routine that every MajorFunction entry starts with.
#include "inproc.h"

namespace pdkit::test {
namespace {

// What one dispatch routine saw.
struct Seen {
  int calls = 0;
  int currentLocation = 0;
  PIO_STACK_LOCATION location = nullptr;
  PDEVICE_OBJECT locationDevice = nullptr;
  UCHAR major = 0;
  ULONG length = 0;
};

struct Node {
  Seen seen;
  PDEVICE_OBJECT lower = nullptr;
  enum { Complete, Copy, Skip, Straight } action = Complete;
};

NTSTATUS recordingDispatch(PDEVICE_OBJECT device, PIRP irp) {
  auto* node = contextOf<Node>(device);
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  node->seen.calls++;
  node->seen.currentLocation = irp->CurrentLocation;
  node->seen.location = location;
  node->seen.locationDevice = location->DeviceObject;
  node->seen.major = location->MajorFunction;
  node->seen.length = location->Parameters.Read.Length;
  switch (node->action) {
    case Node::Copy: IoCopyCurrentIrpStackLocationToNext(irp); return IoCallDriver(node->lower, irp);
    case Node::Skip: IoSkipCurrentIrpStackLocation(irp); return IoCallDriver(node->lower, irp);
    case Node::Straight:  // no location prepared: the call itself must refuse
      return IoCallDriver(node->lower, irp);
    case Node::Complete: break;
  }
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS keepIrp(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }

class CallDriverTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    driver = machine->createDriverObject();
  }

  // An IRP as a driver allocates it, with the first location filled in.
  PIRP newIrp(CCHAR stackSize, UCHAR major) {
    PIRP irp = IoAllocateIrp(stackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = major;
    IoGetNextIrpStackLocation(irp)->Parameters.Read.Length = 77;
    IoSetCompletionRoutine(irp, keepIrp, nullptr, TRUE, TRUE, TRUE);
    return irp;
  }

  PDRIVER_OBJECT driver = nullptr;
};

TEST_F(CallDriverTest, MovesToTheNextLocationAndStoresTheDevice) {
  driver->MajorFunction[IRP_MJ_READ] = recordingDispatch;
  Node bottom, top{.action = Node::Copy};
  PDEVICE_OBJECT lower = makeDevice(driver, &bottom);
  PDEVICE_OBJECT upper = makeDevice(driver, &top, nullptr, lower);
  top.lower = lower;
  ASSERT_EQ(upper->StackSize, 2);

  PIRP irp = newIrp(upper->StackSize, IRP_MJ_READ);
  ASSERT_EQ(irp->StackCount, 2);
  ASSERT_EQ(irp->CurrentLocation, 3);
  PIO_STACK_LOCATION first = IoGetNextIrpStackLocation(irp);
  EXPECT_EQ(IoCallDriver(upper, irp), STATUS_SUCCESS);

  EXPECT_EQ(top.seen.calls, 1);
  EXPECT_EQ(top.seen.currentLocation, 2);
  EXPECT_EQ(top.seen.location, first);
  EXPECT_EQ(top.seen.locationDevice, upper);
  EXPECT_EQ(bottom.seen.calls, 1);
  EXPECT_EQ(bottom.seen.currentLocation, 1);
  EXPECT_EQ(bottom.seen.location, first - 1);
  EXPECT_EQ(bottom.seen.locationDevice, lower);
  EXPECT_EQ(bottom.seen.major, IRP_MJ_READ);
  EXPECT_EQ(bottom.seen.length, 77u);
  IoFreeIrp(irp);
}

TEST_F(CallDriverTest, CallsTheRoutineForTheLocationsMajorFunction) {
  Node node;
  driver->MajorFunction[IRP_MJ_WRITE] = recordingDispatch;
  PDEVICE_OBJECT device = makeDevice(driver, &node);
  PIRP read = newIrp(1, IRP_MJ_READ);
  EXPECT_EQ(IoCallDriver(device, read), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(node.seen.calls, 0);
  PIRP write = newIrp(1, IRP_MJ_WRITE);
  EXPECT_EQ(IoCallDriver(device, write), STATUS_SUCCESS);
  EXPECT_EQ(node.seen.calls, 1);
  EXPECT_EQ(node.seen.major, IRP_MJ_WRITE);
  IoFreeIrp(read);
  IoFreeIrp(write);
}

TEST_F(CallDriverTest, SkipLetsTheLowerDriverReuseTheLocation) {
  driver->MajorFunction[IRP_MJ_READ] = recordingDispatch;
  Node bottom, top{.action = Node::Skip};
  PDEVICE_OBJECT lower = makeDevice(driver, &bottom);
  PDEVICE_OBJECT upper = makeDevice(driver, &top, nullptr, lower);
  top.lower = lower;
  PIRP irp = newIrp(upper->StackSize, IRP_MJ_READ);
  EXPECT_EQ(IoCallDriver(upper, irp), STATUS_SUCCESS);
  EXPECT_EQ(bottom.seen.location, top.seen.location);
  EXPECT_EQ(bottom.seen.currentLocation, top.seen.currentLocation);
  EXPECT_EQ(bottom.seen.locationDevice, lower);
  EXPECT_EQ(bottom.seen.length, 77u);
  IoFreeIrp(irp);
}

NTSTATUS someRoutine(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_SUCCESS; }

TEST_F(CallDriverTest, CopyToNextCopiesAllButTheRoutineAndClearsControl) {
  PIRP irp = IoAllocateIrp(2, FALSE);
  IoSetNextIrpStackLocation(irp);
  PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(irp);
  FILE_OBJECT file{};
  int context = 0;
  current->MajorFunction = IRP_MJ_DEVICE_CONTROL;
  current->MinorFunction = 0x5;
  current->Flags = 0x3;
  current->Control = SL_PENDING_RETURNED | SL_INVOKE_ON_SUCCESS;
  current->Parameters.DeviceIoControl.IoControlCode = 0x222004;
  current->Parameters.DeviceIoControl.InputBufferLength = 12;
  current->Parameters.DeviceIoControl.OutputBufferLength = 34;
  current->DeviceObject = reinterpret_cast<PDEVICE_OBJECT>(0x1000);
  current->FileObject = &file;
  current->CompletionRoutine = someRoutine;
  current->Context = &context;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  std::memset(next, 0xAB, sizeof *next);

  IoCopyCurrentIrpStackLocationToNext(irp);
  EXPECT_EQ(next->MajorFunction, IRP_MJ_DEVICE_CONTROL);
  EXPECT_EQ(next->MinorFunction, 0x5);
  EXPECT_EQ(next->Flags, 0x3);
  EXPECT_EQ(next->Control, 0);
  EXPECT_EQ(next->Parameters.DeviceIoControl.IoControlCode, 0x222004u);
  EXPECT_EQ(next->Parameters.DeviceIoControl.InputBufferLength, 12u);
  EXPECT_EQ(next->Parameters.DeviceIoControl.OutputBufferLength, 34u);
  EXPECT_EQ(next->DeviceObject, current->DeviceObject);
  EXPECT_EQ(next->FileObject, &file);
  // Not copied: the lower location keeps what it had.
  PIO_COMPLETION_ROUTINE untouchedRoutine;
  std::memset(&untouchedRoutine, 0xAB, sizeof untouchedRoutine);
  EXPECT_EQ(next->CompletionRoutine, untouchedRoutine);
  IoSkipCurrentIrpStackLocation(irp);
  IoFreeIrp(irp);
}

TEST_F(CallDriverTest, SetCompletionRoutineStoresTheRoutineAndItsFlags) {
  struct Case {
    BOOLEAN success, error, cancel;
    UCHAR control;
  };
  const Case cases[] = {{FALSE, FALSE, FALSE, 0x00}, {TRUE, FALSE, FALSE, 0x40}, {FALSE, TRUE, FALSE, 0x80},
                        {FALSE, FALSE, TRUE, 0x20},  {TRUE, TRUE, FALSE, 0xC0},  {TRUE, FALSE, TRUE, 0x60},
                        {FALSE, TRUE, TRUE, 0xA0},   {TRUE, TRUE, TRUE, 0xE0}};
  PIRP irp = IoAllocateIrp(1, FALSE);
  int context = 0;
  for (const auto& c : cases) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->Control = SL_PENDING_RETURNED;  // whatever was there goes
    IoSetCompletionRoutine(irp, someRoutine, &context, c.success, c.error, c.cancel);
    EXPECT_EQ(next->Control, c.control) << int(c.success) << int(c.error) << int(c.cancel);
    EXPECT_EQ(next->CompletionRoutine, someRoutine);
    EXPECT_EQ(next->Context, &context);
  }
  EXPECT_EQ(SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL, 0xE0);
  IoFreeIrp(irp);
}

TEST_F(CallDriverTest, MarkPendingSetsOnlyThePendingBitOfTheCurrentLocation) {
  PIRP irp = IoAllocateIrp(2, FALSE);
  IoSetNextIrpStackLocation(irp);
  IoGetCurrentIrpStackLocation(irp)->Control = SL_INVOKE_ON_ERROR;
  IoGetNextIrpStackLocation(irp)->Control = 0;
  IoMarkIrpPending(irp);
  EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->Control, SL_INVOKE_ON_ERROR | 0x01);
  EXPECT_EQ(IoGetNextIrpStackLocation(irp)->Control, 0);
  EXPECT_EQ(SL_PENDING_RETURNED, 0x01);
  IoSkipCurrentIrpStackLocation(irp);
  IoFreeIrp(irp);
}

TEST_F(CallDriverTest, ReusedIrpIsAsAllocatedAndCanBeSentAgain) {
  Node node;
  driver->MajorFunction[IRP_MJ_READ] = recordingDispatch;
  PDEVICE_OBJECT device = makeDevice(driver, &node);
  PIRP irp = IoAllocateIrp(2, FALSE);
  irp->AllocationFlags = 0x5;
  for (int round = 0; round < 3; ++round) {
    if (round > 0) IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(irp->StackCount, 2);
    EXPECT_EQ(irp->CurrentLocation, 3);
    EXPECT_EQ(irp->AllocationFlags, 0x5);
    EXPECT_EQ(irp->IoStatus.Status, round > 0 ? STATUS_NOT_SUPPORTED : STATUS_SUCCESS);
    EXPECT_EQ(irp->IoStatus.Information, 0u);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    EXPECT_EQ(next->MajorFunction, 0);
    EXPECT_EQ(next->Parameters.Read.Length, 0u);
    EXPECT_EQ(next->CompletionRoutine, nullptr);
    next->MajorFunction = IRP_MJ_READ;
    next->Parameters.Read.Length = 77;
    irp->IoStatus.Information = 5;
    // No completion routine: completion leaves the IRP with its owner.
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_SUCCESS);
    EXPECT_EQ(node.seen.calls, round + 1);
    EXPECT_EQ(node.seen.length, 77u);
    EXPECT_EQ(irp->CurrentLocation, 3);
  }
  IoFreeIrp(irp);
}

NTSTATUS reusingDispatch(PDEVICE_OBJECT, PIRP irp) {
  IoReuseIrp(irp, STATUS_SUCCESS);  // refused: the IRP is being dispatched
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

TEST_F(CallDriverTest, ReusingAnIrpStillBeingDispatchedIsReported) {
  expectViolations = true;
  driver->MajorFunction[IRP_MJ_READ] = reusingDispatch;
  PDEVICE_OBJECT device = makeDevice(driver, nullptr);
  PIRP irp = IoAllocateIrp(1, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
  EXPECT_EQ(IoCallDriver(device, irp), STATUS_SUCCESS);
  auto found = violationsOf(*machine, "BAD_ARGUMENT");
  ASSERT_EQ(found.size(), 1u);
  EXPECT_NE(found[0].detail.find("IoReuseIrp"), std::string::npos) << found[0].detail;
  EXPECT_EQ(machine->violations().size(), 1u);
  IoFreeIrp(irp);
}

int g_driverCodeRan = 0;
NTSTATUS countingDispatch(PDEVICE_OBJECT, PIRP irp) {
  ++g_driverCodeRan;
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

TEST_F(CallDriverTest, EveryMajorFunctionStartsAsTheIoManagersDefault) {
  PDRIVER_DISPATCH first = driver->MajorFunction[0];
  ASSERT_NE(first, nullptr);
  for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
    EXPECT_EQ(driver->MajorFunction[major], first) << "major " << major;
  }
  EXPECT_EQ(driver->DeviceObject, nullptr);
  EXPECT_EQ(driver->DriverExtension->AddDevice, nullptr);
  EXPECT_EQ(driver->DriverUnload, nullptr);
}

TEST_F(CallDriverTest, DefaultRoutineFailsTheRequestWithoutReachingDriverCode) {
  g_driverCodeRan = 0;
  driver->MajorFunction[IRP_MJ_CREATE] = countingDispatch;
  driver->MajorFunction[IRP_MJ_CLOSE] = countingDispatch;
  PDEVICE_OBJECT device = makeDevice(driver, nullptr, u"\\DosDevices\\DEFAULTS");
  auto open = machine->open("\\\\.\\DEFAULTS");
  ASSERT_EQ(open.result.status, STATUS_SUCCESS);
  EXPECT_EQ(g_driverCodeRan, 1);

  const UCHAR majors[] = {IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_DEVICE_CONTROL};
  for (UCHAR major : majors) {
    char buffer[8] = {};
    ntsim::IoResult result;
    if (major == IRP_MJ_READ) result = machine->read(open.handle, buffer, sizeof buffer);
    if (major == IRP_MJ_WRITE) result = machine->write(open.handle, buffer, sizeof buffer);
    if (major == IRP_MJ_DEVICE_CONTROL) {
      result = machine->deviceIoControl(open.handle, 0x222000, buffer, 4, buffer, sizeof buffer);
    }
    EXPECT_EQ(result.status, STATUS_INVALID_DEVICE_REQUEST) << int(major);
    EXPECT_EQ(result.information, 0u);
    EXPECT_EQ(result.win32, 1u);
    EXPECT_TRUE(result.failed());
  }
  EXPECT_EQ(g_driverCodeRan, 1);

  // Sent by a driver: the status block is set and the IRP completed.
  PIRP irp = IoAllocateIrp(1, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_FLUSH_BUFFERS;
  IoSetCompletionRoutine(irp, keepIrp, nullptr, TRUE, TRUE, TRUE);
  irp->IoStatus.Information = 99;
  EXPECT_EQ(IoCallDriver(device, irp), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(irp->IoStatus.Status, STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(irp->IoStatus.Information, 0u);
  EXPECT_EQ(irp->CurrentLocation, 2);
  IoFreeIrp(irp);
  EXPECT_EQ(machine->close(open.handle).status, STATUS_SUCCESS);
  EXPECT_EQ(g_driverCodeRan, 2);
}

TEST_F(CallDriverTest, CallingPastTheLastLocationIsReported) {
  expectViolations = true;
  driver->MajorFunction[IRP_MJ_READ] = recordingDispatch;
  Node bottom, top{.action = Node::Straight};
  PDEVICE_OBJECT lower = makeDevice(driver, &bottom);
  PDEVICE_OBJECT upper = makeDevice(driver, &top);  // not attached: its StackSize stays 1
  top.lower = lower;
  PIRP irp = newIrp(upper->StackSize, IRP_MJ_READ);
  NTSTATUS status = IoCallDriver(upper, irp);
  EXPECT_FALSE(NT_SUCCESS(status));
  EXPECT_EQ(bottom.seen.calls, 0);
  auto found = violationsOf(*machine, "NO_MORE_IRP_STACK_LOCATIONS");
  ASSERT_EQ(found.size(), 1u);
  EXPECT_NE(found[0].detail.find(hexAddress(irp)), std::string::npos) << found[0].detail;
  takeViolations();
  // The driver above still owns its location and can complete the request.
  irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  IoFreeIrp(irp);
}

}  // namespace
}  // namespace pdkit::test
