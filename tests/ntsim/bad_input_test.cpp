// A driver's bad argument to a kernel routine is a verifier report naming
// the rule, never a crash or a hang.
#include "inproc.h"

#include <functional>

namespace pdkit::test {
namespace {

using BadInputTest = MachineTest;

TEST_F(BadInputTest, BadArgumentsAreReportedByRule) {
  expectViolations = true;
  machine->setHangTimeout(std::chrono::milliseconds(200));
  // Memory that is not an IRP, with room before it where an IRP's header would be.
  std::vector<char> notAnIrp(8192, 0);
  PIRP fakeIrp = reinterpret_cast<PIRP>(notAnIrp.data() + 4096);
  PDRIVER_OBJECT driver = machine->createDriverObject();
  IO_REMOVE_LOCK neverInitialised{};
  KEVENT garbage;
  std::memset(&garbage, 0x7F, sizeof garbage);
  int notPool = 0;

  struct Case {
    const char* what;
    std::function<void()> call;
    const char* rule;
  };
  const Case cases[] = {
      {"IoCreateDevice without a result pointer",
       [&] { IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, nullptr); }, "BAD_ARGUMENT"},
      {"IoCreateDevice without a driver",
       [&] {
         PDEVICE_OBJECT d;
         IoCreateDevice(nullptr, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &d);
       },
       "BAD_ARGUMENT"},
      {"IoDeleteDevice(NULL)", [] { IoDeleteDevice(nullptr); }, "BAD_ARGUMENT"},
      {"IoAttachDeviceToDeviceStack(NULL, NULL)", [] { IoAttachDeviceToDeviceStack(nullptr, nullptr); },
       "BAD_ARGUMENT"},
      {"IoDetachDevice(NULL)", [] { IoDetachDevice(nullptr); }, "BAD_ARGUMENT"},
      {"ObDereferenceObject(NULL)", [] { ObDereferenceObject(nullptr); }, "BAD_ARGUMENT"},
      {"IoAllocateIrp(0)", [] { EXPECT_EQ(IoAllocateIrp(0, FALSE), nullptr); }, "BAD_ARGUMENT"},
      {"IoCallDriver(NULL, irp)",
       [] {
         PIRP irp = IoAllocateIrp(1, FALSE);
         EXPECT_EQ(IoCallDriver(nullptr, irp), STATUS_INVALID_PARAMETER);
         IoFreeIrp(irp);
       },
       "BAD_ARGUMENT"},
      {"IoCallDriver with something not an IRP",
       [&] {
         PDEVICE_OBJECT d = makeDevice(driver, nullptr);
         IoCallDriver(d, fakeIrp);
         IoDeleteDevice(d);
       },
       "BAD_ARGUMENT"},
      {"IoCompleteRequest(NULL)", [] { IoCompleteRequest(nullptr, IO_NO_INCREMENT); }, "BAD_ARGUMENT"},
      {"IoCompleteRequest with something not an IRP", [&] { IoCompleteRequest(fakeIrp, IO_NO_INCREMENT); },
       "BAD_ARGUMENT"},
      {"IoFreeIrp with something not an IRP", [&] { IoFreeIrp(fakeIrp); }, "BAD_ARGUMENT"},
      {"IoInitializeRemoveLock(NULL)", [] { IoInitializeRemoveLock(nullptr, 0, 0, 0); }, "BAD_ARGUMENT"},
      {"IoAcquireRemoveLock(NULL)", [] { IoAcquireRemoveLock(nullptr, nullptr); }, "BAD_ARGUMENT"},
      {"IoReleaseRemoveLock(NULL)", [] { IoReleaseRemoveLock(nullptr, nullptr); }, "BAD_ARGUMENT"},
      {"IoReleaseRemoveLockAndWait(NULL)", [] { IoReleaseRemoveLockAndWait(nullptr, nullptr); }, "BAD_ARGUMENT"},
      {"IoAcquireRemoveLock on a lock never initialised",
       [&] { EXPECT_EQ(IoAcquireRemoveLock(&neverInitialised, nullptr), STATUS_INVALID_PARAMETER); },
       "REMOVE_LOCK_UNKNOWN"},
      {"IoReleaseRemoveLockAndWait on a lock never initialised",
       [&] { IoReleaseRemoveLockAndWait(&neverInitialised, nullptr); }, "REMOVE_LOCK_UNKNOWN"},
      {"IoReleaseRemoveLock with an unknown tag",
       [] {
         IO_REMOVE_LOCK lock;
         IoInitializeRemoveLock(&lock, 0, 0, 0);
         IoReleaseRemoveLock(&lock, reinterpret_cast<PVOID>(0x99));
       },
       "REMOVE_LOCK_RELEASE_UNKNOWN_TAG"},
      {"KeInitializeEvent(NULL)", [] { KeInitializeEvent(nullptr, NotificationEvent, FALSE); }, "BAD_ARGUMENT"},
      {"KeSetEvent(NULL)", [] { KeSetEvent(nullptr, 0, FALSE); }, "BAD_ARGUMENT"},
      {"KeClearEvent(NULL)", [] { KeClearEvent(nullptr); }, "BAD_ARGUMENT"},
      {"KeResetEvent(NULL)", [] { KeResetEvent(nullptr); }, "BAD_ARGUMENT"},
      {"KeReadStateEvent(NULL)", [] { KeReadStateEvent(nullptr); }, "BAD_ARGUMENT"},
      {"KeInitializeMutex(NULL)", [] { KeInitializeMutex(nullptr, 0); }, "BAD_ARGUMENT"},
      {"KeReleaseMutex(NULL)", [] { KeReleaseMutex(nullptr, FALSE); }, "BAD_ARGUMENT"},
      {"KeWaitForSingleObject(NULL)",
       [] {
         EXPECT_EQ(KeWaitForSingleObject(nullptr, Executive, KernelMode, FALSE, nullptr), STATUS_INVALID_PARAMETER);
       },
       "BAD_ARGUMENT"},
      {"KeWaitForSingleObject on something not a dispatcher object",
       [&] {
         EXPECT_EQ(KeWaitForSingleObject(&garbage, Executive, KernelMode, FALSE, nullptr), STATUS_INVALID_PARAMETER);
       },
       "BAD_ARGUMENT"},
      {"ExFreePool(NULL)", [] { ExFreePool(nullptr); }, "POOL_FREE_NULL"},
      {"ExFreePool of memory not from the pool", [&] { ExFreePool(&notPool); }, "POOL_FREE_UNKNOWN"},
      {"ExFreePoolWithTag with the wrong tag",
       [] {
         PVOID block = ExAllocatePoolWithTag(NonPagedPool, 4, 0x41414141);
         ExFreePoolWithTag(block, 0x42424242);
       },
       "POOL_TAG_MISMATCH"},
      {"ExAllocatePoolWithTag with an unknown pool type",
       [] { EXPECT_EQ(ExAllocatePoolWithTag(static_cast<POOL_TYPE>(77), 4, 0), nullptr); }, "POOL_BAD_TYPE"},
      {"NonPagedPoolNx on Windows XP",
       [&] {
         machine->setWindowsVersion({5, 1, 2600});
         EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 4, 0), nullptr);
       },
       "POOL_BAD_TYPE"},
      {"MdlMappingNoExecute on Windows XP",
       [&] {
         machine->setWindowsVersion({5, 1, 2600});
         static char bytes[8];
         PMDL mdl = IoAllocateMdl(bytes, sizeof bytes, FALSE, FALSE, nullptr);
         MmBuildMdlForNonPagedPool(mdl);
         EXPECT_EQ(MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE,
                                                NormalPagePriority | MdlMappingNoExecute),
                   nullptr);
         IoFreeMdl(mdl);
       },
       "BAD_ARGUMENT"},
      {"MmMapLockedPagesSpecifyCache(NULL)",
       [] { EXPECT_EQ(MmMapLockedPagesSpecifyCache(nullptr, KernelMode, MmCached, nullptr, FALSE, 0), nullptr); },
       "BAD_ARGUMENT"},
      {"MmUnmapLockedPages(.., NULL)", [] { MmUnmapLockedPages(nullptr, nullptr); }, "BAD_ARGUMENT"},
      {"MmBuildMdlForNonPagedPool(NULL)", [] { MmBuildMdlForNonPagedPool(nullptr); }, "BAD_ARGUMENT"},
      {"RtlInitUnicodeString(NULL, ..)", [] { RtlInitUnicodeString(nullptr, nullptr); }, "BAD_ARGUMENT"},
      {"PoCallDriver(NULL, NULL)", [] { PoCallDriver(nullptr, nullptr); }, "BAD_ARGUMENT"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto start = std::chrono::steady_clock::now();
    c.call();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150)) << "no waiting it out";
    auto rules = takeViolations();
    ASSERT_FALSE(rules.empty()) << "nothing reported";
    EXPECT_EQ(rules.front(), c.rule);
  }
}

TEST_F(BadInputTest, DeletingADeviceStillAttachedIsReportedAndLeavesNoDanglingPointer) {
  expectViolations = true;
  PDRIVER_OBJECT driver = machine->createDriverObject();
  PDEVICE_OBJECT lower = makeDevice(driver, nullptr);
  PDEVICE_OBJECT upper = makeDevice(driver, nullptr, nullptr, lower);
  ASSERT_EQ(lower->AttachedDevice, upper);
  std::string name = hexAddress(upper);
  IoDeleteDevice(upper);
  auto found = violationsOf(*machine, "DELETE_ATTACHED_DEVICE");
  ASSERT_EQ(found.size(), 1u);
  EXPECT_NE(found[0].detail.find(name), std::string::npos);
  EXPECT_EQ(lower->AttachedDevice, nullptr);
  EXPECT_EQ(IoGetAttachedDevice(lower), lower);
  takeViolations();
}

}  // namespace
}  // namespace pdkit::test
