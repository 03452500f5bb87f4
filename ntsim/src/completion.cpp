// IofCompleteRequest: the kernel's walk up the stack locations of a
// finished IRP, running each completion routine that asked for the outcome,
// and what Driver Verifier checks on the way: an IRP completed twice (also
// from inside its own completion routine), with STATUS_PENDING or with a
// cancel routine set, and a pending mark not carried up. Once the last
// location is done the bus and power rules run and the originator is told.
#include "irp.h"
#include "pnp.h"
#include "power.h"
#include "state.h"

namespace ntsim {
namespace {

// Finishes the IRP for its originator once the last location is done.
void finish(PIRP irp, IrpHeader* h, UCHAR major, UCHAR minor) {
  auto& s = M();
  h->completed.store(true, std::memory_order_release);
  if (h->busPdo != nullptr) checkBusRules(s, irp, h, major, minor);
  if (major == IRP_MJ_POWER) checkPowerRules(s, irp, h, minor);
  if (h->onComplete) h->onComplete(irp);
}

}  // namespace
}  // namespace ntsim

using namespace ntsim;

extern "C" {

void IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  auto& s = M();
  (void)PriorityBoost;
  IrpHeader* h = headerOf(Irp);
  if (h == nullptr) {
    s.report("BAD_ARGUMENT", "IoCompleteRequest with " + describeIrp(Irp) + ", which is not an IRP");
    return;
  }
  if (h->completed.load() || Irp->CurrentLocation > Irp->StackCount + 1) {
    s.report("IRP_COMPLETED_TWICE",
             "IoCompleteRequest for IRP " + describeIrp(Irp) + ", which was completed already (bug check 0x44)");
    return;
  }
  if (Irp->IoStatus.Status == STATUS_PENDING) {
    s.report("COMPLETED_WITH_PENDING", "IRP " + describeIrp(Irp) + " completed with STATUS_PENDING");
  }
  if (Irp->CancelRoutine != nullptr) {
    s.report("COMPLETED_WITH_CANCEL_ROUTINE", "IRP " + describeIrp(Irp) + " completed with a cancel routine set");
  }
  UCHAR major = locationAt(Irp, Irp->StackCount)->MajorFunction;
  UCHAR minor = locationAt(Irp, Irp->StackCount)->MinorFunction;
  // A new walk; a routine that completes the IRP again starts another. Only
  // this IRP's owner completes it, so the number needs no atomic increment.
  const unsigned walk = h->walks.load(std::memory_order_relaxed) + 1;
  h->walks.store(walk, std::memory_order_relaxed);

  while (Irp->CurrentLocation <= Irp->StackCount) {
    int level = Irp->CurrentLocation;
    PIO_STACK_LOCATION finishedLocation = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status = Irp->IoStatus.Status;  // read afresh at every level
    Irp->PendingReturned = (finishedLocation->Control & SL_PENDING_RETURNED) != 0;
    if (h->dispatching.load(std::memory_order_acquire) != 0) {
      // For the dispatch rules IofCallDriver checks once the routine returns;
      // with no dispatch running there is no one to tell.
      std::lock_guard lock(h->doneMutex);
      h->finishedMask |= levelBit(level);
      if (Irp->PendingReturned)
        h->pendingMask |= levelBit(level);
      else
        h->pendingMask &= ~levelBit(level);
      h->statusAt[level] = status;
      if (level < Irp->StackCount) {
        // What the level above holds before its completion routine can touch it.
        h->belowFinishedMask |= levelBit(level + 1);
        if (locationAt(Irp, level + 1)->Control & SL_PENDING_RETURNED)
          h->markedBeforeRoutineMask |= levelBit(level + 1);
        else
          h->markedBeforeRoutineMask &= ~levelBit(level + 1);
      }
    }
    PIO_COMPLETION_ROUTINE routine = finishedLocation->CompletionRoutine;
    PVOID context = finishedLocation->Context;
    UCHAR control = finishedLocation->Control;
    finishedLocation->Control = 0;
    finishedLocation->CompletionRoutine = nullptr;
    finishedLocation->Context = nullptr;
    IoSkipCurrentIrpStackLocation(Irp);

    bool invoke = routine != nullptr && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                                         (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                                         (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
    bool above = Irp->CurrentLocation <= Irp->StackCount;
    if (!invoke) {
      // No routine to run: the I/O manager carries the pending mark upward itself.
      if (Irp->PendingReturned && above) IoMarkIrpPending(Irp);
      continue;
    }
    PDEVICE_OBJECT device = above ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject : nullptr;
    bool pendingReturned = Irp->PendingReturned;
    NTSTATUS result = routine(device, Irp, context);
    if (result == STATUS_MORE_PROCESSING_REQUIRED) return;  // the routine owns the IRP now
    if (h->walks.load() != walk) {
      // The routine completed the IRP itself and then let this walk go on:
      // on Windows the I/O manager would complete the IRP a second time.
      s.report("IRP_COMPLETED_TWICE", "completion routine " + hex(reinterpret_cast<uintptr_t>(routine)) +
                                          " completed IRP " + describeIrp(Irp) + " again but returned " +
                                          statusName(result) +
                                          " instead of STATUS_MORE_PROCESSING_REQUIRED (bug check 0x44)");
      return;
    }
    if (pendingReturned && above && !(IoGetCurrentIrpStackLocation(Irp)->Control & SL_PENDING_RETURNED)) {
      s.report("PENDING_NOT_PROPAGATED", "completion routine " + hex(reinterpret_cast<uintptr_t>(routine)) +
                                             " of IRP " + describeIrp(Irp) +
                                             " saw PendingReturned but did not mark the IRP pending (0xC9/0x228)");
    }
  }
  finish(Irp, h, major, minor);
}

}  // extern "C"
