// IRPs a driver builds and sends to another driver: device control and
// read/write requests the I/O manager completes for their sender (copying a
// buffered answer back, writing the status block, setting the event, freeing
// what it allocated), and IoInitializeIrp over an IRP of IoAllocateIrp.
#include "irp.h"
#include "state.h"

namespace ntsim {
namespace {

// What the I/O manager does when a driver-built request completes.
struct BuiltRequest {
  PVOID output = nullptr;
  ULONG outputLength = 0;
  PKEVENT event = nullptr;
  PIO_STATUS_BLOCK iosb = nullptr;
  bool synchronous = false;
};

void finishBuilt(PIRP irp, const BuiltRequest& request) {
  auto& s = M();
  void* system = irp->AssociatedIrp.SystemBuffer;
  if ((irp->Flags & IRP_BUFFERED_IO) && system != nullptr) {
    if ((irp->Flags & IRP_INPUT_OPERATION) && !NT_ERROR(irp->IoStatus.Status)) {
      ULONG_PTR count = irp->IoStatus.Information;
      if (count > request.outputLength) {
        s.report("INFORMATION_EXCEEDS_BUFFER", "IRP " + describeIrp(irp) + " completed with Information " +
                                                   std::to_string(count) + " for a buffer of " +
                                                   std::to_string(request.outputLength) + " bytes (0xC9/0x312)");
        count = request.outputLength;
      }
      if (count != 0) std::memcpy(request.output, system, count);
    }
    freeSystemBuffer(s, system);
    irp->AssociatedIrp.SystemBuffer = nullptr;
  }
  for (PMDL mdl = irp->MdlAddress; mdl != nullptr;) {
    PMDL next = mdl->Next;
    IoFreeMdl(mdl);
    mdl = next;
  }
  irp->MdlAddress = nullptr;
  if (request.iosb != nullptr) *request.iosb = irp->IoStatus;
  if (request.event != nullptr) KeSetEvent(request.event, IO_NO_INCREMENT, FALSE);
  releaseIrp(irp);  // the I/O manager frees the IRP it built once the sender is told
}

void describeBuffer(PIRP irp, PDEVICE_OBJECT device, PVOID buffer, ULONG length, bool input, BuiltRequest& request) {
  if (length == 0) return;
  if (device->Flags & DO_BUFFERED_IO) {
    void* system = allocateSystemBuffer(M(), length);
    if (!input) std::memcpy(system, buffer, length);
    irp->AssociatedIrp.SystemBuffer = system;
    irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (input ? IRP_INPUT_OPERATION : 0);
    request.output = buffer;
    request.outputLength = length;
  } else if (device->Flags & DO_DIRECT_IO) {
    PMDL mdl = IoAllocateMdl(buffer, length, FALSE, FALSE, irp);
    mdl->MdlFlags = static_cast<CSHORT>(mdl->MdlFlags | MDL_PAGES_LOCKED);
  } else {
    irp->UserBuffer = buffer;
  }
}

PIRP buildFsd(ULONG major, PDEVICE_OBJECT device, PVOID buffer, ULONG length, PLARGE_INTEGER offset,
              BuiltRequest request) {
  auto& s = M();
  if (device == nullptr || (major != IRP_MJ_READ && major != IRP_MJ_WRITE && major != IRP_MJ_FLUSH_BUFFERS &&
                            major != IRP_MJ_SHUTDOWN && major != IRP_MJ_PNP && major != IRP_MJ_POWER)) {
    s.report("BAD_ARGUMENT", "IoBuild*FsdRequest with major function " + hex(major) + " or a NULL device");
    return nullptr;
  }
  PIRP irp = allocateIrp(device->StackSize);
  if (irp == nullptr) return nullptr;
  irp->RequestorMode = KernelMode;
  PIO_STACK_LOCATION location = IoGetNextIrpStackLocation(irp);
  location->MajorFunction = static_cast<UCHAR>(major);
  if (major == IRP_MJ_READ || major == IRP_MJ_WRITE) {
    location->Parameters.Read.Length = length;
    if (offset != nullptr) location->Parameters.Read.ByteOffset = *offset;
    irp->UserBuffer = buffer;
    describeBuffer(irp, device, buffer, length, major == IRP_MJ_READ, request);
  }
  irp->UserIosb = request.iosb;
  irp->UserEvent = request.event;
  headerOf(irp)->onComplete = [request](PIRP done) { finishBuilt(done, request); };
  return irp;
}

}  // namespace
}  // namespace ntsim

using namespace ntsim;

extern "C" {

void IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
  auto& s = M();
  IrpHeader* h = headerOf(Irp);
  if (h == nullptr || PacketSize < IoSizeOfIrp(StackSize) || irpBlockBytes(StackSize) > h->bytes) {
    s.report("BAD_ARGUMENT", "IoInitializeIrp with " + describeIrp(Irp) +
                                 ": ntsim initialises only IRPs that IoAllocateIrp returned, for at most their "
                                 "stack size; allocate with IoAllocateIrp instead");
    return;
  }
  Irp->StackCount = StackSize;
  IoReuseIrp(Irp, STATUS_SUCCESS);
}

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                   ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
  auto& s = M();
  if (DeviceObject == nullptr) {
    s.report("BAD_ARGUMENT", "IoBuildDeviceIoControlRequest with a NULL device object");
    return nullptr;
  }
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    s.report("IRQL_NOT_LESS_OR_EQUAL", "IoBuildDeviceIoControlRequest above PASSIVE_LEVEL");
  }
  PIRP irp = allocateIrp(DeviceObject->StackSize);
  if (irp == nullptr) return nullptr;
  irp->RequestorMode = KernelMode;
  PIO_STACK_LOCATION location = IoGetNextIrpStackLocation(irp);
  location->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  location->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
  location->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
  location->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
  BuiltRequest request{nullptr, 0, Event, IoStatusBlock, true};
  switch (METHOD_FROM_CTL_CODE(IoControlCode)) {
    case METHOD_BUFFERED: {
      ULONG size = InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
      if (size != 0) {
        void* system = allocateSystemBuffer(s, size);
        if (InputBufferLength != 0) std::memcpy(system, InputBuffer, InputBufferLength);
        irp->AssociatedIrp.SystemBuffer = system;
        irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (OutputBufferLength != 0 ? IRP_INPUT_OPERATION : 0);
        request.output = OutputBuffer;
        request.outputLength = OutputBufferLength;
      }
      break;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
      if (InputBufferLength != 0) {
        void* system = allocateSystemBuffer(s, InputBufferLength);
        std::memcpy(system, InputBuffer, InputBufferLength);
        irp->AssociatedIrp.SystemBuffer = system;
        irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
      }
      if (OutputBufferLength != 0) {
        PMDL mdl = IoAllocateMdl(OutputBuffer, OutputBufferLength, FALSE, FALSE, irp);
        mdl->MdlFlags = static_cast<CSHORT>(mdl->MdlFlags | MDL_PAGES_LOCKED);
      }
      break;
    default:
      location->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
      irp->UserBuffer = OutputBuffer;
      break;
  }
  irp->UserIosb = IoStatusBlock;
  irp->UserEvent = Event;
  headerOf(irp)->onComplete = [request](PIRP done) { finishBuilt(done, request); };
  return irp;
}

PIRP IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length,
                                  PLARGE_INTEGER StartingOffset, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
  return buildFsd(MajorFunction, DeviceObject, Buffer, Length, StartingOffset,
                  BuiltRequest{nullptr, 0, Event, IoStatusBlock, true});
}

PIRP IoBuildAsynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length,
                                   PLARGE_INTEGER StartingOffset, PIO_STATUS_BLOCK IoStatusBlock) {
  return buildFsd(MajorFunction, DeviceObject, Buffer, Length, StartingOffset,
                  BuiltRequest{nullptr, 0, nullptr, IoStatusBlock, false});
}

void MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation) {
  auto& s = M();
  (void)Operation;
  PMDL mdl = MemoryDescriptorList;
  if (mdl == nullptr) {
    s.report("BAD_ARGUMENT", "MmProbeAndLockPages with a NULL MDL");
    return;
  }
  if (KeGetCurrentIrql() > (AccessMode == UserMode ? APC_LEVEL : DISPATCH_LEVEL)) {
    s.report("IRQL_NOT_LESS_OR_EQUAL", "MmProbeAndLockPages at IRQL " + std::to_string(KeGetCurrentIrql()));
  }
  if (mdl->MdlFlags & MDL_PAGES_LOCKED) {
    s.report("MDL_ALREADY_LOCKED", "MmProbeAndLockPages of MDL " + hex(reinterpret_cast<uintptr_t>(mdl)) +
                                       ", whose pages are locked already (bug check 0x4E)");
    return;
  }
  auto start = reinterpret_cast<uintptr_t>(mdl->StartVa) + mdl->ByteOffset;
  if (start < 0x10000) {
    // Windows raises STATUS_ACCESS_VIOLATION for the caller's __try; ntsim cannot, and says so.
    s.report("PROBE_FAILED", "MmProbeAndLockPages of an MDL over address " + hex(start) +
                                 ", which is not valid (Windows raises STATUS_ACCESS_VIOLATION)");
    return;
  }
  mdl->MdlFlags = static_cast<CSHORT>(mdl->MdlFlags | MDL_PAGES_LOCKED);
}

void MmUnlockPages(PMDL MemoryDescriptorList) {
  PMDL mdl = MemoryDescriptorList;
  if (mdl == nullptr || !(mdl->MdlFlags & MDL_PAGES_LOCKED)) {
    M().report("MDL_NOT_LOCKED", "MmUnlockPages of MDL " + hex(reinterpret_cast<uintptr_t>(mdl)) +
                                     ", whose pages are not locked (bug check 0x76)");
    return;
  }
  if (mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) MmUnmapLockedPages(mdl->MappedSystemVa, mdl);
  mdl->MdlFlags = static_cast<CSHORT>(mdl->MdlFlags & ~MDL_PAGES_LOCKED);
}

void IoBuildPartialMdl(PMDL SourceMdl, PMDL TargetMdl, PVOID VirtualAddress, ULONG Length) {
  auto source = reinterpret_cast<uintptr_t>(MmGetMdlVirtualAddress(SourceMdl));
  auto address = reinterpret_cast<uintptr_t>(VirtualAddress);
  if (address < source || address - source > SourceMdl->ByteCount) {
    M().report("BAD_ARGUMENT", "IoBuildPartialMdl with an address outside the source MDL");
    return;
  }
  if (Length == 0) Length = static_cast<ULONG>(SourceMdl->ByteCount - (address - source));
  TargetMdl->StartVa = reinterpret_cast<PVOID>(address & ~uintptr_t{PAGE_SIZE - 1});
  TargetMdl->ByteOffset = static_cast<ULONG>(address & (PAGE_SIZE - 1));
  TargetMdl->ByteCount = Length;
  TargetMdl->MdlFlags = static_cast<CSHORT>((TargetMdl->MdlFlags & MDL_ALLOCATED_FIXED_SIZE) | MDL_PARTIAL |
                                            (SourceMdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL)));
  if (SourceMdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) {
    TargetMdl->MappedSystemVa = VirtualAddress;
    TargetMdl->MdlFlags = static_cast<CSHORT>(TargetMdl->MdlFlags | MDL_MAPPED_TO_SYSTEM_VA);
  }
}

}  // extern "C"
