// Requests one driver builds for another and cancels, the cancel-safe
// queue, MDLs over a driver's own memory, device interfaces and
// properties, and the string routines.
#include "inproc.h"

#include <ntstrsafe.h>

#include <deque>

namespace pdkit::test {
namespace {

// A device that queues every device control in a cancel-safe queue.
struct Queue {
  IO_CSQ csq;
  KSPIN_LOCK lock = 0;
  std::deque<PIRP> irps;
};

Queue* queueOf(PIO_CSQ csq) { return CONTAINING_RECORD(csq, Queue, csq); }

void insertIrp(PIO_CSQ csq, PIRP irp) { queueOf(csq)->irps.push_back(irp); }
void removeIrp(PIO_CSQ csq, PIRP irp) { std::erase(queueOf(csq)->irps, irp); }
PIRP peekNext(PIO_CSQ csq, PIRP irp, PVOID) {
  auto& irps = queueOf(csq)->irps;
  auto it = irp == nullptr ? irps.begin() : std::find(irps.begin(), irps.end(), irp) + 1;
  return it == irps.end() ? nullptr : *it;
}
void acquire(PIO_CSQ csq, PKIRQL irql) { KeAcquireSpinLock(&queueOf(csq)->lock, irql); }
void release(PIO_CSQ csq, KIRQL irql) { KeReleaseSpinLock(&queueOf(csq)->lock, irql); }
void completeCancelled(PIO_CSQ, PIRP irp) {
  irp->IoStatus.Status = STATUS_CANCELLED;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS queueControl(PDEVICE_OBJECT device, PIRP irp) {
  IoCsqInsertIrp(&contextOf<Queue>(device)->csq, irp, nullptr);
  return STATUS_PENDING;
}

using RequestsTest = MachineTest;

TEST_F(RequestsTest, BuiltRequestsPendInACancelSafeQueueUntilTakenOrCancelled) {
  Queue queue;
  ASSERT_EQ(IoCsqInitialize(&queue.csq, insertIrp, removeIrp, peekNext, acquire, release, completeCancelled),
            STATUS_SUCCESS);
  PDRIVER_OBJECT driver = machine->createDriverObject();
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = queueControl;
  PDEVICE_OBJECT device = makeDevice(driver, &queue, nullptr, nullptr, DO_BUFFERED_IO);
  constexpr ULONG kCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
  struct Sent {
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    char out[8] = "-------";
    PIRP irp;
  } sent[3];
  for (auto& one : sent) {
    KeInitializeEvent(&one.event, NotificationEvent, FALSE);
    one.irp = IoBuildDeviceIoControlRequest(kCode, device, (PVOID) "in", 2, one.out, sizeof one.out, FALSE, &one.event,
                                            &one.iosb);
    ASSERT_NE(one.irp, nullptr);
    EXPECT_EQ(IoCallDriver(device, one.irp), STATUS_PENDING);
  }
  // The second is cancelled in the queue; taking from it then skips it.
  EXPECT_TRUE(IoCancelIrp(sent[1].irp));
  EXPECT_EQ(KeReadStateEvent(&sent[1].event), 1);
  EXPECT_EQ(sent[1].iosb.Status, STATUS_CANCELLED);
  for (int index : {0, 2}) {
    PIRP irp = IoCsqRemoveNextIrp(&queue.csq, nullptr);
    ASSERT_EQ(irp, sent[index].irp);
    EXPECT_STREQ(static_cast<char*>(irp->AssociatedIrp.SystemBuffer), "in");
    std::memcpy(irp->AssociatedIrp.SystemBuffer, "answer", 7);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 7;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(KeWaitForSingleObject(&sent[index].event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(sent[index].iosb.Information, 7u);
    EXPECT_STREQ(sent[index].out, "answer");
  }
  EXPECT_EQ(IoCsqRemoveNextIrp(&queue.csq, nullptr), nullptr);
  EXPECT_EQ(std::string(sent[1].out), "-------");  // nothing copied back for a cancelled request
  IoDeleteDevice(device);
}

void keepLock(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_CANCELLED;
  // IoReleaseCancelSpinLock forgotten
}

TEST_F(RequestsTest, CancelRoutineMustReleaseTheCancelSpinLock) {
  expectViolations = true;
  PIRP irp = IoAllocateIrp(1, FALSE);
  EXPECT_FALSE(IoCancelIrp(irp));  // no routine: only marked
  EXPECT_TRUE(irp->Cancel);
  IoSetCancelRoutine(irp, keepLock);
  EXPECT_TRUE(IoCancelIrp(irp));
  EXPECT_EQ(irp->CancelRoutine, nullptr);
  EXPECT_EQ(takeViolations(), std::vector<std::string>{"CANCEL_SPIN_LOCK_NOT_RELEASED"});
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  IoFreeIrp(irp);
}

TEST_F(RequestsTest, MdlsDescribeADriversOwnMemoryAndItsParts) {
  expectViolations = true;
  alignas(4096) static UCHAR buffer[2 * PAGE_SIZE];
  PMDL mdl = IoAllocateMdl(buffer + 100, PAGE_SIZE, FALSE, FALSE, nullptr);
  MmBuildMdlForNonPagedPool(mdl);
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), buffer + 100);
  PMDL part = IoAllocateMdl(buffer + 100, PAGE_SIZE, FALSE, FALSE, nullptr);
  IoBuildPartialMdl(mdl, part, buffer + 300, 50);
  EXPECT_EQ(MmGetMdlVirtualAddress(part), buffer + 300);
  EXPECT_EQ(MmGetMdlByteCount(part), 50u);
  EXPECT_NE(part->MdlFlags & MDL_PARTIAL, 0);
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(part, NormalPagePriority), buffer + 300);
  PMDL user = IoAllocateMdl(buffer, 16, FALSE, FALSE, nullptr);
  MmProbeAndLockPages(user, UserMode, IoWriteAccess);
  EXPECT_NE(user->MdlFlags & MDL_PAGES_LOCKED, 0);
  MmUnlockPages(user);
  MmUnlockPages(user);
  EXPECT_EQ(takeViolations(), std::vector<std::string>{"MDL_NOT_LOCKED"});
  for (PMDL each : {mdl, part, user}) IoFreeMdl(each);
}

TEST_F(RequestsTest, InterfaceOpensTheDeviceStackAndPropertiesDescribeThePdo) {
  ntsim::DeviceNode& node = machine->createNode();
  PDRIVER_OBJECT driver = machine->createDriverObject();
  driver->MajorFunction[IRP_MJ_CREATE] = driver->MajorFunction[IRP_MJ_CLEANUP] = driver->MajorFunction[IRP_MJ_CLOSE] =
      succeed;
  PDEVICE_OBJECT fdo = makeDevice(driver, nullptr, nullptr, node.pdo());
  static const GUID kInterface = {0x12345678, 0x9abc, 0xdef0, {1, 2, 3, 4, 5, 6, 7, 8}};
  UNICODE_STRING link{};
  ASSERT_EQ(IoRegisterDeviceInterface(node.pdo(), &kInterface, nullptr, &link), STATUS_SUCCESS);
  EXPECT_EQ(utf16(link), u"\\??\\ROOT#UNKNOWN#0000#{12345678-9abc-def0-0102-030405060708}");
  const char* path = "\\\\?\\ROOT#UNKNOWN#0000#{12345678-9abc-def0-0102-030405060708}";
  EXPECT_EQ(machine->open(path).result.status, STATUS_OBJECT_NAME_NOT_FOUND);
  ASSERT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
  auto open = machine->open(path);
  ASSERT_EQ(open.result.status, STATUS_SUCCESS);
  EXPECT_EQ(machine->fileObject(open.handle)->DeviceObject, node.pdo());
  machine->close(open.handle);
  EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_SUCCESS);
  RtlFreeUnicodeString(&link);

  char16_t text[32];
  ULONG length = 0;
  EXPECT_EQ(IoGetDeviceProperty(node.pdo(), DevicePropertyHardwareID, 4, text, &length), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(length, sizeof(u"ROOT\\UNKNOWN\0"));
  ASSERT_EQ(IoGetDeviceProperty(node.pdo(), DevicePropertyHardwareID, sizeof text, text, &length), STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(text, length / 2), std::u16string(u"ROOT\\UNKNOWN\0\0", 14));
  ASSERT_EQ(IoGetDeviceProperty(node.pdo(), DevicePropertyPhysicalDeviceObjectName, sizeof text, text, &length),
            STATUS_SUCCESS);
  EXPECT_TRUE(std::u16string(text).starts_with(u"\\Device\\0000"));
  PDEVICE_OBJECT lower = IoGetLowerDeviceObject(fdo);
  EXPECT_EQ(lower, node.pdo());
  ObDereferenceObject(lower);
  expectViolations = true;
  EXPECT_EQ(IoGetDeviceProperty(fdo, DevicePropertyHardwareID, sizeof text, text, &length),
            STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(takeViolations(), std::vector<std::string>{"INVALID_PDO"});
  IoDetachDevice(node.pdo());
  IoDeleteDevice(fdo);
}

TEST_F(RequestsTest, StringRoutinesCompareCopyConvertAndTruncateAsDocumented) {
  UNICODE_STRING apple = unicode(u"apple"), Apple = unicode(u"APPLE"), apples = unicode(u"apples");
  EXPECT_EQ(RtlCompareUnicodeString(&apple, &Apple, TRUE), 0);
  EXPECT_GT(RtlCompareUnicodeString(&apple, &Apple, FALSE), 0);
  EXPECT_LT(RtlCompareUnicodeString(&apple, &apples, FALSE), 0);
  char16_t storage[8];
  UNICODE_STRING copy{0, sizeof storage, reinterpret_cast<PWSTR>(storage)};
  RtlCopyUnicodeString(&copy, &apples);
  EXPECT_EQ(utf16(copy), u"apples");
  EXPECT_EQ(RtlAppendUnicodeStringToString(&copy, &apple), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(RtlIntegerToUnicodeString(0x2A, 16, &copy), STATUS_SUCCESS);
  EXPECT_EQ(utf16(copy), u"2A");
  ULONG value = 0;
  UNICODE_STRING number = unicode(u" 0x1F");
  EXPECT_EQ(RtlUnicodeStringToInteger(&number, 0, &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 31u);

  char narrow[8];
  EXPECT_EQ(RtlStringCbPrintfA(narrow, sizeof narrow, "%d-%s", 42, "abc"), STATUS_SUCCESS);
  EXPECT_STREQ(narrow, "42-abc");
  EXPECT_EQ(RtlStringCbPrintfA(narrow, sizeof narrow, "%s", "truncated"), STATUS_BUFFER_OVERFLOW);
  EXPECT_STREQ(narrow, "truncat");
  EXPECT_EQ(RtlStringCbCopyA(narrow, 0, "x"), STATUS_INVALID_PARAMETER);
  char16_t wide[8];
  EXPECT_EQ(
      RtlStringCbPrintfW(reinterpret_cast<PWSTR>(wide), sizeof wide, reinterpret_cast<PCWSTR>(u"%s=%u"), u"id", 7u),
      STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(wide), u"id=7");
}

}  // namespace
}  // namespace pdkit::test
