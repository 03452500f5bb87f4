// A program's requests as the I/O manager builds them: system buffers,
// MDLs over the caller's buffer, copy-back, waiting for pended requests,
// open and close, and the Win32 errors a program reads.
#include "inproc.h"

#include <atomic>
#include <cstdlib>
#include <set>
#include <thread>

namespace pdkit::test {
namespace {

// What the test device does with a request, and what it saw.
struct Script {
  NTSTATUS status = STATUS_SUCCESS;
  ULONG_PTR information = 0;
  UCHAR fill = 0x5A;  // written over the whole output the driver was given
  bool pend = false;  // mark pending and keep the IRP in `held`
  bool mapMdl = true;

  std::vector<UCHAR> majors;
  std::u16string fileName;
  PVOID systemBuffer = nullptr;
  ULONG irpFlags = 0;
  bool hadMdl = false;
  MDL mdlBefore{};         // the MDL as the driver received it
  PVOID mapped = nullptr;  // what MmGetSystemAddressForMdlSafe returned
  CSHORT mdlFlagsAfter = 0;
  PVOID mdlVirtualAddress = nullptr;
  std::vector<UCHAR> input;  // the buffer's contents on arrival
  std::atomic<PIRP> held{nullptr};
};

Script* g_script = nullptr;

NTSTATUS finish(PIRP irp) {
  if (g_script->pend) {
    IoMarkIrpPending(irp);
    g_script->held = irp;
    return STATUS_PENDING;
  }
  irp->IoStatus.Status = g_script->status;
  irp->IoStatus.Information = g_script->information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return g_script->status;
}

NTSTATUS createClose(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  g_script->majors.push_back(location->MajorFunction);
  if (location->MajorFunction == IRP_MJ_CREATE) g_script->fileName = utf16(location->FileObject->FileName);
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

// Read and write: the system buffer or the MDL, whichever the device asked for.
NTSTATUS transfer(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  auto& s = *g_script;
  s.majors.push_back(location->MajorFunction);
  ULONG length =
      location->MajorFunction == IRP_MJ_READ ? location->Parameters.Read.Length : location->Parameters.Write.Length;
  s.systemBuffer = irp->AssociatedIrp.SystemBuffer;
  s.irpFlags = irp->Flags;
  s.hadMdl = irp->MdlAddress != nullptr;
  PUCHAR data = nullptr;
  if (device->Flags & DO_BUFFERED_IO) {
    data = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
  } else if (irp->MdlAddress != nullptr) {
    s.mdlBefore = *irp->MdlAddress;
    s.mdlVirtualAddress = MmGetMdlVirtualAddress(irp->MdlAddress);
    if (s.mapMdl) {
      s.mapped = MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority);
      s.mdlFlagsAfter = irp->MdlAddress->MdlFlags;
      if (s.mapped == nullptr) {
        irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_INSUFFICIENT_RESOURCES;
      }
      data = static_cast<PUCHAR>(s.mapped);
    }
  }
  if (data != nullptr) {
    s.input.assign(data, data + length);
    if (location->MajorFunction == IRP_MJ_READ) std::memset(data, s.fill, length);
  }
  return finish(irp);
}

NTSTATUS deviceControl(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  auto& s = *g_script;
  s.majors.push_back(location->MajorFunction);
  ULONG in = location->Parameters.DeviceIoControl.InputBufferLength;
  ULONG out = location->Parameters.DeviceIoControl.OutputBufferLength;
  s.systemBuffer = irp->AssociatedIrp.SystemBuffer;
  s.irpFlags = irp->Flags;
  if (s.systemBuffer != nullptr) {
    auto* buffer = static_cast<PUCHAR>(s.systemBuffer);
    s.input.assign(buffer, buffer + in);
    // The one buffer is max(input, output) long: the driver may write all of it.
    std::memset(buffer, s.fill, in > out ? in : out);
  }
  return finish(irp);
}

class UserModeTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    g_script = &script;
    driver = machine->createDriverObject();
    driver->MajorFunction[IRP_MJ_CREATE] = createClose;
    driver->MajorFunction[IRP_MJ_CLEANUP] = createClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = createClose;
    driver->MajorFunction[IRP_MJ_READ] = transfer;
    driver->MajorFunction[IRP_MJ_WRITE] = transfer;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = deviceControl;
    buffered = makeDevice(driver, nullptr, u"\\DosDevices\\UMBUF", nullptr, DO_BUFFERED_IO);
    direct = makeDevice(driver, nullptr, u"\\DosDevices\\UMDIRECT", nullptr, DO_DIRECT_IO);
  }

  ntsim::Handle openOrFail(std::string_view path) {
    auto open = machine->open(path);
    EXPECT_EQ(open.result.status, STATUS_SUCCESS) << path;
    script.majors.clear();
    return open.handle;
  }

  Script script;
  PDRIVER_OBJECT driver = nullptr;
  PDEVICE_OBJECT buffered = nullptr;
  PDEVICE_OBJECT direct = nullptr;
};

constexpr ULONG kControl = 0x222000;  // FILE_DEVICE_UNKNOWN, function 0x800, METHOD_BUFFERED

TEST_F(UserModeTest, BufferedReadCopiesBackInformationBytes) {
  struct Case {
    ULONG length;
    ULONG_PTR information;
  };
  const Case cases[] = {{16, 16}, {16, 5}, {16, 0}, {1, 1}, {5000, 4097}};
  ntsim::Handle handle = openOrFail("\\\\.\\UMBUF");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.length);
    script.information = c.information;
    std::vector<UCHAR> buffer(c.length + 8, 0xEE);
    auto result = machine->read(handle, buffer.data(), c.length);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, c.information);
    EXPECT_FALSE(result.failed());
    ASSERT_NE(script.systemBuffer, nullptr);
    EXPECT_NE(script.systemBuffer, buffer.data());
    EXPECT_EQ(script.input.size(), c.length);  // the driver could touch all L bytes
    EXPECT_EQ(script.irpFlags & (IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | IRP_INPUT_OPERATION),
              ULONG{IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | IRP_INPUT_OPERATION});
    EXPECT_FALSE(script.hadMdl);
    for (size_t i = 0; i < buffer.size(); ++i) {
      ASSERT_EQ(buffer[i], i < c.information ? 0x5A : 0xEE) << "byte " << i;
    }
  }
}

TEST_F(UserModeTest, BufferedReadCopiesBackOnWarningsButNotOnErrorsNorVerifyRequired) {
  struct Case {
    NTSTATUS status;
    bool copied;
    uint32_t win32;
  };
  const Case cases[] = {{STATUS_BUFFER_OVERFLOW, true, 234},
                        {STATUS_VERIFY_REQUIRED, false, 1110},
                        {STATUS_DEVICE_NOT_READY, false, 21},
                        {STATUS_UNSUCCESSFUL, false, 31}};
  ntsim::Handle handle = openOrFail("\\\\.\\UMBUF");
  for (const auto& c : cases) {
    SCOPED_TRACE(ntsim::statusName(c.status));
    script.status = c.status;
    script.information = 6;
    std::vector<UCHAR> buffer(10, 0xEE);
    auto result = machine->read(handle, buffer.data(), 10);
    EXPECT_EQ(result.status, c.status);
    EXPECT_TRUE(result.failed());
    EXPECT_EQ(result.win32, c.win32);
    // An error leaves the byte count unwritten; a warning reports it.
    EXPECT_EQ(result.information, NT_ERROR(c.status) ? 0u : 6u);
    for (size_t i = 0; i < buffer.size(); ++i) {
      EXPECT_EQ(buffer[i], c.copied && i < 6 ? 0x5A : 0xEE) << "byte " << i;
    }
  }
}

TEST_F(UserModeTest, ZeroLengthBufferedTransfersHaveNoSystemBuffer) {
  ntsim::Handle handle = openOrFail("\\\\.\\UMBUF");
  UCHAR byte = 0xEE;
  script.systemBuffer = &byte;
  EXPECT_EQ(machine->read(handle, &byte, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(script.systemBuffer, nullptr);
  script.systemBuffer = &byte;
  EXPECT_EQ(machine->write(handle, &byte, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(script.systemBuffer, nullptr);
  EXPECT_EQ(byte, 0xEE);
}

TEST_F(UserModeTest, NullBufferWithALengthFailsBeforeAnyDriverIsCalled) {
  ntsim::Handle handle = openOrFail("\\\\.\\UMBUF");
  UCHAR byte = 0;
  const ntsim::IoResult results[] = {
      machine->read(handle, nullptr, 4),
      machine->write(handle, nullptr, 4),
      machine->deviceIoControl(handle, kControl, nullptr, 4, &byte, 1),
      machine->deviceIoControl(handle, kControl, &byte, 1, nullptr, 4),
  };
  for (const auto& result : results) {
    EXPECT_EQ(result.status, STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(result.win32, 998u);  // ERROR_NOACCESS
  }
  EXPECT_TRUE(script.majors.empty());
}

TEST_F(UserModeTest, BufferedRequestReportingMoreBytesThanItsBufferIsCaught) {
  expectViolations = true;
  ntsim::Handle handle = openOrFail("\\\\.\\UMBUF");
  UCHAR data[4] = {};
  script.information = 9;
  EXPECT_EQ(machine->write(handle, data, sizeof data).information, 4u);
  EXPECT_EQ(machine->deviceIoControl(handle, kControl, data, sizeof data, nullptr, 0).information, 0u);
  EXPECT_EQ(violationsOf(*machine, "INFORMATION_EXCEEDS_BUFFER").size(), 2u);
}

TEST_F(UserModeTest, BufferedWriteHandsTheDriverACopy) {
  ntsim::Handle handle = openOrFail("\\\\.\\UMBUF");
  const UCHAR data[] = {1, 2, 3, 4, 5, 6, 7};
  script.information = sizeof data;
  auto result = machine->write(handle, data, sizeof data);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, sizeof data);
  EXPECT_NE(script.systemBuffer, data);
  EXPECT_EQ(script.input, std::vector<UCHAR>(data, data + sizeof data));
  EXPECT_EQ(script.irpFlags & (IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | IRP_INPUT_OPERATION),
            ULONG{IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER});
}

struct PageBuffer {
  PageBuffer() : base(static_cast<UCHAR*>(std::aligned_alloc(PAGE_SIZE, 2 * PAGE_SIZE))) {}
  ~PageBuffer() { std::free(base); }
  UCHAR* base;
};

TEST_F(UserModeTest, DirectReadDescribesTheCallersBufferWithAnMdl) {
  ntsim::Handle handle = openOrFail("\\\\.\\UMDIRECT");
  PageBuffer page;
  std::memset(page.base, 0xEE, 2 * PAGE_SIZE);
  UCHAR* buffer = page.base + 100;
  script.information = 300;
  auto result = machine->read(handle, buffer, 300);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, 300u);
  ASSERT_TRUE(script.hadMdl);
  EXPECT_EQ(script.systemBuffer, nullptr);
  EXPECT_EQ(script.mdlBefore.ByteOffset, 100u);
  EXPECT_EQ(script.mdlBefore.ByteCount, 300u);
  EXPECT_EQ(script.mdlBefore.StartVa, page.base);
  EXPECT_EQ(script.mdlVirtualAddress, buffer);
  EXPECT_EQ(script.mdlBefore.Next, nullptr);
  // Locked but not mapped into system space until the driver asks.
  EXPECT_NE(script.mdlBefore.MdlFlags & MDL_PAGES_LOCKED, 0);
  EXPECT_EQ(script.mdlBefore.MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL), 0);
  EXPECT_EQ(script.mdlBefore.MappedSystemVa, nullptr);
  EXPECT_EQ(script.mapped, buffer);
  EXPECT_NE(script.mdlFlagsAfter & MDL_MAPPED_TO_SYSTEM_VA, 0);
  // What the driver wrote through the mapping is in the caller's buffer, and nothing else.
  EXPECT_EQ(page.base[99], 0xEE);
  EXPECT_EQ(buffer[0], 0x5A);
  EXPECT_EQ(buffer[299], 0x5A);
  EXPECT_EQ(buffer[300], 0xEE);
}

TEST_F(UserModeTest, DirectWriteReadsTheCallersBytes) {
  ntsim::Handle handle = openOrFail("\\\\.\\UMDIRECT");
  PageBuffer page;
  UCHAR* buffer = page.base + PAGE_SIZE - 10;  // crosses into the next page
  for (int i = 0; i < 20; ++i) buffer[i] = static_cast<UCHAR>(i);
  EXPECT_EQ(machine->write(handle, buffer, 20).status, STATUS_SUCCESS);
  EXPECT_EQ(script.mdlBefore.ByteOffset, PAGE_SIZE - 10u);
  EXPECT_EQ(script.mdlBefore.ByteCount, 20u);
  ASSERT_EQ(script.input.size(), 20u);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(script.input[i], i);
}

TEST_F(UserModeTest, ZeroLengthDirectTransfersHaveNoMdl) {
  ntsim::Handle handle = openOrFail("\\\\.\\UMDIRECT");
  UCHAR byte = 0;
  script.hadMdl = true;
  EXPECT_EQ(machine->read(handle, &byte, 0).status, STATUS_SUCCESS);
  EXPECT_FALSE(script.hadMdl);
  script.hadMdl = true;
  EXPECT_EQ(machine->write(handle, &byte, 0).status, STATUS_SUCCESS);
  EXPECT_FALSE(script.hadMdl);
}

TEST_F(UserModeTest, MappingMayFail) {
  ntsim::Handle handle = openOrFail("\\\\.\\UMDIRECT");
  machine->faults().mapping = 1;
  UCHAR buffer[16] = {};
  auto result = machine->read(handle, buffer, sizeof buffer);
  EXPECT_EQ(script.mapped, nullptr);
  EXPECT_EQ(result.status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(result.win32, 1450u);
  // The fault was used up: the next mapping works.
  EXPECT_EQ(machine->read(handle, buffer, sizeof buffer).status, STATUS_SUCCESS);
  EXPECT_EQ(script.mapped, buffer);
}

TEST_F(UserModeTest, MethodBufferedControlUsesOneBufferOfTheLargerLength) {
  struct Case {
    ULONG in, out;
    ULONG_PTR information;
  };
  const Case cases[] = {{0, 0, 0}, {8, 0, 0}, {0, 16, 16}, {8, 16, 12}, {16, 8, 8}, {3, 3, 0}};
  ntsim::Handle handle = openOrFail("\\\\.\\UMBUF");
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.in) + " in, " + std::to_string(c.out) + " out");
    std::vector<UCHAR> input(c.in), output(c.out + 4, 0xEE);
    for (ULONG i = 0; i < c.in; ++i) input[i] = static_cast<UCHAR>(0x10 + i);
    script.information = c.information;
    script.systemBuffer = &script;
    script.input.clear();
    auto result = machine->deviceIoControl(handle, kControl, input.data(), c.in, output.data(), c.out);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, c.information);
    if (c.in == 0 && c.out == 0) {
      EXPECT_EQ(script.systemBuffer, nullptr);
      continue;
    }
    ASSERT_NE(script.systemBuffer, nullptr);
    EXPECT_EQ(script.input, input);
    EXPECT_EQ(script.irpFlags & IRP_BUFFERED_IO, ULONG{IRP_BUFFERED_IO});
    EXPECT_EQ((script.irpFlags & IRP_INPUT_OPERATION) != 0, c.out != 0);
    for (size_t i = 0; i < output.size(); ++i) {
      EXPECT_EQ(output[i], i < c.information ? 0x5A : 0xEE) << "byte " << i;
    }
  }
}

TEST_F(UserModeTest, PendedRequestIsWaitedForUntilCompleted) {
  ntsim::Handle handle = openOrFail("\\\\.\\UMBUF");
  script.pend = true;
  std::atomic<bool> completing{false};
  std::thread device([&] {
    while (script.held.load() == nullptr) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    PIRP irp = script.held.load();
    std::memcpy(irp->AssociatedIrp.SystemBuffer, "late", 4);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 4;
    completing = true;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    KeLowerIrql(old);
  });
  char buffer[8] = {};
  auto result = machine->read(handle, buffer, sizeof buffer);
  EXPECT_TRUE(completing.load());
  device.join();
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, 4u);
  EXPECT_EQ(std::string(buffer), "late");
}

TEST_F(UserModeTest, ClosingSendsCleanupThenClose) {
  auto open = machine->open("\\\\.\\UMBUF");
  ASSERT_EQ(open.result.status, STATUS_SUCCESS);
  EXPECT_TRUE(machine->isOpen(open.handle));
  EXPECT_EQ(machine->fileObject(open.handle)->DeviceObject, buffered);
  EXPECT_EQ(machine->close(open.handle).status, STATUS_SUCCESS);
  EXPECT_EQ(script.majors, (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
  EXPECT_FALSE(machine->isOpen(open.handle));
  auto again = machine->close(open.handle);
  EXPECT_TRUE(again.failed());
  EXPECT_EQ(again.win32, 6u);  // ERROR_INVALID_HANDLE
  EXPECT_EQ(script.majors.size(), 3u);
}

// Handles count up from 1 and are never given out again; thousands can be
// open at once, each naming its own file object until it is closed.
TEST_F(UserModeTest, HandlesAreNumberedInTurnAndNeverReused) {
  constexpr int kHandles = 2500;  // past the first few chunks of the handle table
  std::vector<ntsim::Handle> handles;
  for (int i = 0; i < kHandles; ++i) handles.push_back(openOrFail("\\\\.\\UMBUF"));
  for (int i = 0; i < kHandles; ++i) ASSERT_EQ(handles[i], ntsim::Handle(i + 1));
  std::set<PFILE_OBJECT> files;
  for (ntsim::Handle handle : handles) files.insert(machine->fileObject(handle));
  EXPECT_EQ(files.size(), size_t{kHandles});
  EXPECT_EQ(files.count(nullptr), 0u);
  EXPECT_EQ(machine->close(handles[1000]).status, STATUS_SUCCESS);
  EXPECT_FALSE(machine->isOpen(handles[1000]));
  EXPECT_EQ(machine->fileObject(handles[1000]), nullptr);
  EXPECT_EQ(openOrFail("\\\\.\\UMBUF"), ntsim::Handle(kHandles + 1));
  EXPECT_FALSE(machine->isOpen(0));
  EXPECT_FALSE(machine->isOpen(kHandles + 2));
  EXPECT_FALSE(machine->isOpen(0xFFFFFFFFu));
  EXPECT_EQ(machine->close(0xFFFFFFFFu).win32, 6u);  // ERROR_INVALID_HANDLE
}

TEST_F(UserModeTest, OpenReachesTheDeviceWithTheRestAsFileName) {
  struct Case {
    const char* path;
    std::u16string fileName;
  };
  const Case cases[] = {{"\\\\.\\UMBUF", u""},
                        {"\\\\.\\UMBUF\\more", u"\\more"},
                        {"\\\\.\\umbuf\\a\\b", u"\\a\\b"},
                        {"\\\\.\\UMDIRECT\\x", u"\\x"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    script.fileName = u"(not reached)";
    auto open = machine->open(c.path);
    ASSERT_EQ(open.result.status, STATUS_SUCCESS);
    EXPECT_NE(open.handle, 0u);
    EXPECT_EQ(script.fileName, c.fileName);
    EXPECT_EQ(utf16(machine->fileObject(open.handle)->FileName), c.fileName);
    machine->close(open.handle);
  }
}

TEST_F(UserModeTest, UnknownNamesAreNotFound) {
  const char* names[] = {"\\\\.\\NOSUCHDEV", "\\\\.\\UMBUFX", "\\\\.\\UMBU\\more"};
  for (const char* name : names) {
    auto open = machine->open(name);
    EXPECT_EQ(open.result.status, STATUS_OBJECT_NAME_NOT_FOUND) << name;
    EXPECT_EQ(open.result.win32, 2u) << name;
    EXPECT_EQ(open.handle, 0u) << name;
  }
  EXPECT_TRUE(script.majors.empty());
}

TEST_F(UserModeTest, FinalStatusesMapToTheWin32ErrorsAProgramSees) {
  struct Case {
    NTSTATUS status;
    uint32_t win32;
    bool failed;
  };
  const Case cases[] = {
      {STATUS_SUCCESS, 0, false},
      {STATUS_INVALID_DEVICE_REQUEST, 1, true},     // ERROR_INVALID_FUNCTION
      {STATUS_INSUFFICIENT_RESOURCES, 1450, true},  // ERROR_NO_SYSTEM_RESOURCES
      {STATUS_BUFFER_TOO_SMALL, 122, true},         // ERROR_INSUFFICIENT_BUFFER
      {STATUS_BUFFER_OVERFLOW, 234, true},          // ERROR_MORE_DATA: a warning fails the call too
      {STATUS_DELETE_PENDING, 5, true},             // ERROR_ACCESS_DENIED
      {STATUS_ACCESS_DENIED, 5, true},
      {STATUS_OBJECT_NAME_NOT_FOUND, 2, true},  // ERROR_FILE_NOT_FOUND
      {STATUS_NOT_SUPPORTED, 50, true},         // ERROR_NOT_SUPPORTED
      {STATUS_UNSUCCESSFUL, 31, true},          // ERROR_GEN_FAILURE
      {STATUS_INVALID_PARAMETER, 87, true},
      {STATUS_NO_SUCH_DEVICE, 2, true},
      {STATUS_DEVICE_NOT_READY, 21, true},
      {STATUS_CANCELLED, 995, true},
  };
  ntsim::Handle handle = openOrFail("\\\\.\\UMBUF");
  for (const auto& c : cases) {
    SCOPED_TRACE(ntsim::statusName(c.status));
    script.status = c.status;
    auto result = machine->deviceIoControl(handle, kControl, nullptr, 0, nullptr, 0);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.win32, c.win32);
    EXPECT_EQ(result.failed(), c.failed);
    EXPECT_EQ(ntsim::win32ErrorOf(c.status), c.win32);
  }
}

}  // namespace
}  // namespace pdkit::test
