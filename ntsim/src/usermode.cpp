// A program's side of the I/O manager: open, read, write, device control
// and close, with the buffers built as the I/O manager builds them.
#include "irp.h"
#include "objects.h"
#include "pnp.h"
#include "state.h"

#include "spinlock.h"

#include <cstdlib>
#include <vector>

namespace ntsim {

namespace {

constexpr NTSTATUS kInvalidHandle = STATUS_INVALID_HANDLE;

// The requests sent through a file and not yet completed, oldest first
// (Machine::cancel takes the oldest); seldom more than one. Each request's
// header keeps it alive, for a completion that comes after the file is gone.
struct InFlight {
  SpinLock lock;  // held for a few instructions; never across a call into a driver
  std::vector<PIRP> irps;
};

// A file object and the name it was opened with.
struct OpenFile {
  FILE_OBJECT object{};
  std::u16string name;
  PDEVICE_OBJECT device = nullptr;
  std::shared_ptr<InFlight> inFlight = std::make_shared<InFlight>();
};

// The request leaves its file's list as it completes (from completeForCaller).
void forgetInFlight(PIRP irp) {
  auto* inFlight = static_cast<InFlight*>(headerOf(irp)->keepAlive.get());
  if (inFlight == nullptr) return;
  std::lock_guard lock(inFlight->lock);
  std::erase(inFlight->irps, irp);
}

// Sends a program's request, known to Machine::cancel until it completes.
IoResult sendTracked(OpenFile* file, PDEVICE_OBJECT target, PIRP irp) {
  headerOf(irp)->keepAlive = file->inFlight;
  {
    std::lock_guard lock(file->inFlight->lock);
    file->inFlight->irps.push_back(irp);
  }
  return sendAndWait(target, irp, false);
}

OpenFile* lookup(MachineState& s, Handle handle) { return reinterpret_cast<OpenFile*>(s.handles.find(handle)); }

PIRP buildIrp(OpenFile* file, UCHAR major, PDEVICE_OBJECT* target) {
  *target = IoGetAttachedDevice(file->device);
  PIRP irp = allocateIrp((*target)->StackSize);
  irp->RequestorMode = UserMode;
  irp->Flags = IRP_SYNCHRONOUS_API;
  irp->Tail.Overlay.OriginalFileObject = &file->object;
  PIO_STACK_LOCATION location = IoGetNextIrpStackLocation(irp);
  location->MajorFunction = major;
  location->FileObject = &file->object;
  return irp;
}

void freeMdls(PIRP irp) {
  for (PMDL mdl = irp->MdlAddress; mdl != nullptr;) {
    PMDL next = mdl->Next;
    IoFreeMdl(mdl);
    mdl = next;
  }
  irp->MdlAddress = nullptr;
}

// The caller's locked buffer, described by an MDL (no MDL for an empty transfer).
void lockUserBuffer(PIRP irp, void* buffer, ULONG length) {
  if (length == 0) return;
  PMDL mdl = IoAllocateMdl(buffer, length, FALSE, FALSE, irp);
  mdl->MdlFlags = static_cast<CSHORT>(mdl->MdlFlags | MDL_PAGES_LOCKED);
}

// The I/O manager's completion for a program's request: copy back what a
// buffered request returned, release buffers and MDLs, wake the caller.
// `limit` is the caller's output length: a driver that reports more bytes
// than that is caught. Nothing is copied back for an error or for
// STATUS_VERIFY_REQUIRED.
void completeForCaller(PIRP irp, void* userBuffer, ULONG limit) {
  forgetInFlight(irp);
  void* system = irp->AssociatedIrp.SystemBuffer;
  if ((irp->Flags & IRP_BUFFERED_IO) && system != nullptr) {
    NTSTATUS status = irp->IoStatus.Status;
    if (!NT_ERROR(status) && irp->IoStatus.Information > limit) {
      M().report("INFORMATION_EXCEEDS_BUFFER", "IRP " + describeIrp(irp) + " completed with Information " +
                                                   std::to_string(irp->IoStatus.Information) + " for a buffer of " +
                                                   std::to_string(limit) + " bytes (0xC9/0x312)");
      irp->IoStatus.Information = limit;
    }
    if ((irp->Flags & IRP_INPUT_OPERATION) && !NT_ERROR(status) && status != STATUS_VERIFY_REQUIRED) {
      ULONG_PTR count = irp->IoStatus.Information;
      if (count != 0) std::memcpy(userBuffer, system, count);
    }
    if (irp->Flags & IRP_DEALLOCATE_BUFFER) freeSystemBuffer(M(), system);
    irp->AssociatedIrp.SystemBuffer = nullptr;
  }
  freeMdls(irp);
  signalDone(irp);
}

// What the program reads back: a request that failed with an error leaves
// its byte count unwritten (ReadFile and DeviceIoControl report 0).
IoResult forProgram(IoResult result) {
  if (NT_ERROR(result.status)) result.information = 0;
  return result;
}

// The I/O manager probes a caller's buffer before any driver sees the request.
bool unreadable(const void* buffer, ULONG length) { return buffer == nullptr && length != 0; }

void* systemBufferCopy(const void* data, ULONG dataLength, ULONG size) {
  void* system = allocateSystemBuffer(M(), size);
  if (dataLength != 0) std::memcpy(system, data, dataLength);
  return system;
}

// The last handle to the file went: cleanup first, then close once the last
// reference is dropped; the file object goes with it.
IoResult closeFile(MachineState& s, OpenFile* file) {
  PDEVICE_OBJECT target;
  PIRP cleanup = buildIrp(file, IRP_MJ_CLEANUP, &target);
  headerOf(cleanup)->onComplete = signalDone;
  sendAndWait(target, cleanup, false);
  PIRP close = buildIrp(file, IRP_MJ_CLOSE, &target);
  close->Flags |= IRP_CLOSE_OPERATION;
  headerOf(close)->onComplete = signalDone;
  IoResult result = sendAndWait(target, close, false);
  {
    std::lock_guard lock(s.objectMutex);
    PDEVICE_OBJECT device = file->device;
    if (--device->ReferenceCount == 0 && device->DeviceObjectExtension->deletePending) freeDeviceObject(device);
  }
  delete file;
  return result;
}

}  // namespace

OpenResult Machine::open(std::string_view path) {
  auto& s = *state_;
  std::string_view rest;
  if (path.starts_with("\\\\.\\"))
    rest = path.substr(4);
  else if (path.starts_with("\\??\\"))
    rest = path.substr(4);
  else if (path.starts_with("\\\\?\\"))
    rest = path.substr(4);
  else
    return {failure(STATUS_OBJECT_NAME_INVALID), 0};
  size_t slash = rest.find('\\');
  std::string_view deviceName = rest.substr(0, slash);
  std::string remaining = slash == std::string_view::npos ? "" : std::string(rest.substr(slash));
  PDEVICE_OBJECT device = nullptr;
  {
    // The name in \DosDevices: a device, or a symbolic link to one (\Device\NAME, say).
    std::lock_guard lock(s.objectMutex);
    device = resolveDevice(s, canonicalName(u"\\DosDevices\\" + widen(deviceName)));
    if (device == nullptr) return {failure(STATUS_OBJECT_NAME_NOT_FOUND), 0};
    if (device->Flags & DO_DEVICE_INITIALIZING) return {failure(STATUS_NO_SUCH_DEVICE), 0};
    // A device that is gone from the bus takes no new handles, even while old ones keep it.
    if (PDEVICE_OBJECT pdo = busPdoBelow(device);
        pdo != nullptr && pdo->DeviceObjectExtension->node->state() == DeviceState::surpriseRemoved) {
      return {failure(STATUS_NO_SUCH_DEVICE), 0};
    }
    if ((device->Flags & DO_EXCLUSIVE) && device->ReferenceCount > 0) return {failure(STATUS_ACCESS_DENIED), 0};
    ++device->ReferenceCount;
  }
  auto* file = new OpenFile;
  file->device = device;
  file->name = widen(remaining);
  file->object.Type = 5;  // IO_TYPE_FILE
  file->object.Size = sizeof(FILE_OBJECT);
  file->object.DeviceObject = device;
  file->object.FileName = {static_cast<USHORT>(file->name.size() * 2), static_cast<USHORT>(file->name.size() * 2),
                           file->name.empty() ? nullptr : reinterpret_cast<PWSTR>(file->name.data())};
  PDEVICE_OBJECT target;
  PIRP irp = buildIrp(file, IRP_MJ_CREATE, &target);
  irp->Flags |= IRP_CREATE_OPERATION;
  headerOf(irp)->onComplete = signalDone;
  IoResult result = sendAndWait(target, irp, false);
  if (result.failed()) {
    std::lock_guard lock(s.objectMutex);
    --device->ReferenceCount;
    delete file;
    return {result, 0};
  }
  Handle handle = s.handles.insert(&file->object);
  if (handle == 0) {
    // Every handle number is taken: the open fails after all, as the driver saw it succeed it is closed.
    closeFile(s, file);
    return {failure(STATUS_INSUFFICIENT_RESOURCES), 0};
  }
  return {result, handle};
}

IoResult Machine::close(Handle handle) {
  auto& s = *state_;
  auto* file = reinterpret_cast<OpenFile*>(s.handles.remove(handle));
  if (file == nullptr) return failure(kInvalidHandle);
  PDEVICE_OBJECT pdo = busPdoBelow(file->device);
  IoResult result = closeFile(s, file);
  // The last handle to a surprise-removed device lets its removal finish.
  if (pdo != nullptr) lastHandleClosed(*pdo->DeviceObjectExtension->node);
  return result;
}

namespace {

std::future<IoResult> sendOverlapped(std::function<IoResult()> request) {
  auto dispatched = std::make_shared<std::promise<void>>();
  std::future<void> sent = dispatched->get_future();
  std::future<IoResult> result = std::async(std::launch::async, [dispatched, request] {
    auto told = std::make_shared<bool>(false);
    setAfterDispatch([dispatched, told] {
      *told = true;
      dispatched->set_value();
    });
    IoResult outcome = request();
    setAfterDispatch(nullptr);
    if (!*told) dispatched->set_value();  // refused before any driver saw it
    return outcome;
  });
  sent.wait();
  return result;
}

}  // namespace

std::future<IoResult> Machine::readAsync(Handle handle, void* buffer, ULONG length, LONGLONG offset) {
  return sendOverlapped([=, this] { return read(handle, buffer, length, offset); });
}

std::future<IoResult> Machine::writeAsync(Handle handle, const void* buffer, ULONG length, LONGLONG offset) {
  return sendOverlapped([=, this] { return write(handle, buffer, length, offset); });
}

bool Machine::cancel(Handle handle) {
  OpenFile* file = lookup(*state_, handle);
  if (file == nullptr) return false;
  PIRP oldest;
  {
    std::lock_guard lock(file->inFlight->lock);
    if (file->inFlight->irps.empty()) return false;
    oldest = file->inFlight->irps.front();
    addIrpReference(oldest);  // kept while its cancel routine runs, even if that completes it
  }
  bool cancelled = IoCancelIrp(oldest) != FALSE;
  releaseIrp(oldest);
  return cancelled;
}

bool Machine::isOpen(Handle handle) const { return lookup(*state_, handle) != nullptr; }

PFILE_OBJECT Machine::fileObject(Handle handle) const {
  OpenFile* file = lookup(*state_, handle);
  return file == nullptr ? nullptr : &file->object;
}

IoResult Machine::read(Handle handle, void* buffer, ULONG length, LONGLONG offset) {
  OpenFile* file = lookup(*state_, handle);
  if (file == nullptr) return failure(kInvalidHandle);
  if (unreadable(buffer, length)) return failure(STATUS_ACCESS_VIOLATION);
  PDEVICE_OBJECT target;
  PIRP irp = buildIrp(file, IRP_MJ_READ, &target);
  PIO_STACK_LOCATION location = IoGetNextIrpStackLocation(irp);
  location->Parameters.Read.Length = length;
  location->Parameters.Read.ByteOffset.QuadPart = offset;
  irp->UserBuffer = buffer;
  irp->Flags |= IRP_READ_OPERATION;
  if (file->device->Flags & DO_BUFFERED_IO) {
    if (length != 0) {
      irp->AssociatedIrp.SystemBuffer = allocateSystemBuffer(*state_, length);
      irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | IRP_INPUT_OPERATION;
    }
  } else if (file->device->Flags & DO_DIRECT_IO) {
    lockUserBuffer(irp, buffer, length);
  }
  headerOf(irp)->onComplete = [buffer, length](PIRP done) { completeForCaller(done, buffer, length); };
  return forProgram(sendTracked(file, target, irp));
}

IoResult Machine::write(Handle handle, const void* buffer, ULONG length, LONGLONG offset) {
  OpenFile* file = lookup(*state_, handle);
  if (file == nullptr) return failure(kInvalidHandle);
  if (unreadable(buffer, length)) return failure(STATUS_ACCESS_VIOLATION);
  PDEVICE_OBJECT target;
  PIRP irp = buildIrp(file, IRP_MJ_WRITE, &target);
  PIO_STACK_LOCATION location = IoGetNextIrpStackLocation(irp);
  location->Parameters.Write.Length = length;
  location->Parameters.Write.ByteOffset.QuadPart = offset;
  irp->UserBuffer = const_cast<void*>(buffer);
  irp->Flags |= IRP_WRITE_OPERATION;
  if (file->device->Flags & DO_BUFFERED_IO) {
    if (length != 0) {
      irp->AssociatedIrp.SystemBuffer = systemBufferCopy(buffer, length, length);
      irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    }
  } else if (file->device->Flags & DO_DIRECT_IO) {
    lockUserBuffer(irp, const_cast<void*>(buffer), length);
  }
  headerOf(irp)->onComplete = [length](PIRP done) { completeForCaller(done, nullptr, length); };
  return forProgram(sendTracked(file, target, irp));
}

IoResult Machine::deviceIoControl(Handle handle, ULONG code, const void* in, ULONG inLength, void* out,
                                  ULONG outLength) {
  OpenFile* file = lookup(*state_, handle);
  if (file == nullptr) return failure(kInvalidHandle);
  // METHOD_NEITHER buffers go to the driver as they are; the driver probes them.
  if (METHOD_FROM_CTL_CODE(code) != METHOD_NEITHER && (unreadable(in, inLength) || unreadable(out, outLength))) {
    return failure(STATUS_ACCESS_VIOLATION);
  }
  PDEVICE_OBJECT target;
  PIRP irp = buildIrp(file, IRP_MJ_DEVICE_CONTROL, &target);
  PIO_STACK_LOCATION location = IoGetNextIrpStackLocation(irp);
  location->Parameters.DeviceIoControl.OutputBufferLength = outLength;
  location->Parameters.DeviceIoControl.InputBufferLength = inLength;
  location->Parameters.DeviceIoControl.IoControlCode = code;
  irp->UserBuffer = out;
  switch (METHOD_FROM_CTL_CODE(code)) {
    case METHOD_BUFFERED: {
      // One buffer of max(input, output): the input copied in, the output copied back.
      ULONG size = inLength > outLength ? inLength : outLength;
      if (size != 0) {
        irp->AssociatedIrp.SystemBuffer = systemBufferCopy(in, inLength, size);
        irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (outLength != 0 ? IRP_INPUT_OPERATION : 0);
      }
      break;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
      if (inLength != 0) {
        irp->AssociatedIrp.SystemBuffer = systemBufferCopy(in, inLength, inLength);
        irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
      }
      lockUserBuffer(irp, out, outLength);
      break;
    default: location->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(in); break;
  }
  headerOf(irp)->onComplete = [out, outLength](PIRP done) { completeForCaller(done, out, outLength); };
  return forProgram(sendTracked(file, target, irp));
}

}  // namespace ntsim
