// IRPs: allocation with ntsim's private header in front (from the I/O
// manager's lookaside lists), IoAllocateIrp, IoFreeIrp, IoReuseIrp, and the
// dispatch routine of the MajorFunction entries a driver left empty.
#include "irp.h"
#include "state.h"

#include <new>

namespace ntsim {
namespace {

// The IRP and its stack locations as IoInitializeIrp leaves them: zeroed,
// with no location current yet.
void initialiseIrp(PIRP irp, CCHAR stackSize) {
  std::memset(irp, 0, sizeof(IRP) + static_cast<size_t>(stackSize) * sizeof(IO_STACK_LOCATION));
  irp->Type = 6;  // IO_TYPE_IRP
  irp->Size = static_cast<USHORT>(sizeof(IRP) + stackSize * sizeof(IO_STACK_LOCATION));
  irp->StackCount = stackSize;
  irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
  irp->Tail.Overlay.CurrentStackLocation = locationAt(irp, stackSize + 1);
  irp->ApcEnvironment = 0;
}

NTSTATUS invalidDeviceRequest(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

}  // namespace

std::string describeIrp(PIRP irp) { return hex(reinterpret_cast<uintptr_t>(irp)); }

PIRP allocateIrp(CCHAR stackSize) {
  size_t bytes = irpBlockBytes(stackSize);
  void* memory = M().irpLookaside.allocate(bytes);
  if (memory == nullptr) return nullptr;
  auto* h = new (memory) IrpHeader;
  h->bytes = bytes;
  auto* irp = reinterpret_cast<PIRP>(static_cast<char*>(memory) + kIrpHeaderBytes);
  initialiseIrp(irp, stackSize);
  return irp;
}

void addIrpReference(PIRP irp) { headerOf(irp)->references.fetch_add(1); }

void releaseIrp(PIRP irp) {
  IrpHeader* h = headerOf(irp);
  if (h->references.fetch_sub(1) != 1) return;
  h->magic = 0;
  const size_t bytes = h->bytes;
  h->~IrpHeader();
  M().irpLookaside.release(h, bytes);
}

PDRIVER_DISPATCH defaultDispatch() { return &invalidDeviceRequest; }

}  // namespace ntsim

using namespace ntsim;

extern "C" {

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
  (void)ChargeQuota;
  if (StackSize < 1 || StackSize > 64) {
    M().report("BAD_ARGUMENT", "IoAllocateIrp with stack size " + std::to_string(StackSize));
    return nullptr;
  }
  return allocateIrp(StackSize);
}

void IoFreeIrp(PIRP Irp) {
  if (headerOf(Irp) == nullptr) {
    M().report("BAD_ARGUMENT", "IoFreeIrp with " + describeIrp(Irp) + ", which is not an IRP");
    return;
  }
  releaseIrp(Irp);
}

void IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
  auto& s = M();
  IrpHeader* h = headerOf(Irp);
  if (h == nullptr) {
    s.report("BAD_ARGUMENT", "IoReuseIrp with " + describeIrp(Irp) + ", which is not an IRP");
    return;
  }
  if (h->onComplete) {
    s.report("BAD_ARGUMENT", "IoReuseIrp with IRP " + describeIrp(Irp) + ", which the I/O manager built for a caller");
    return;
  }
  if (h->references.load() != 1) {
    s.report("BAD_ARGUMENT", "IoReuseIrp with IRP " + describeIrp(Irp) + ", which a driver is still dispatching");
    return;
  }
  if (Irp->CancelRoutine != nullptr) {
    s.report("BAD_ARGUMENT", "IoReuseIrp with IRP " + describeIrp(Irp) + ", which still has a cancel routine");
    return;
  }
  // As IoInitializeIrp, keeping how the IRP was allocated; then the status asked for.
  UCHAR allocationFlags = Irp->AllocationFlags;
  initialiseIrp(Irp, Irp->StackCount);
  Irp->AllocationFlags = allocationFlags;
  Irp->IoStatus.Status = Iostatus;
  // The caller holds the only reference and no dispatch is running: nobody
  // else can look at the bookkeeping, so it is reset without its locks.
  h->done = false;
  h->finishedMask = 0;
  h->pendingMask = 0;
  h->belowFinishedMask = 0;
  h->visited.clear();
  h->startedNext.clear();
  h->completed.store(false, std::memory_order_relaxed);
}

}  // extern "C"
