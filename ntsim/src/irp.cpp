// IRPs: allocation, IofCallDriver, IofCompleteRequest with the kernel's
// stack walk, and the dispatch rules Driver Verifier checks on the way (the
// power rules are power_rules.cpp's).
#include "irp.h"
#include "pnp.h"
#include "power.h"
#include "state.h"

#include <cstdlib>
#include <new>
#include <utility>

namespace ntsim {
namespace {

constexpr size_t kHeaderBytes = kIrpHeaderBytes;

thread_local bool t_sendingPower = false;
// Told once the dispatch routine of this thread's next request has returned (an overlapped request's sender).
thread_local std::function<void()> t_afterDispatch;

// One dispatch routine running on this thread for an IRP. A routine may
// return STATUS_PENDING without marking the IRP when it passed the IRP down
// and returns what the lower driver returned (its completion routine marks
// it later): the frame remembers that a lower IofCallDriver pended.
struct DispatchFrame {
  PIRP irp;
  bool lowerReturnedPending = false;
};
thread_local std::vector<DispatchFrame*> t_frames;

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

// Finishes the IRP for its originator once the last location is done.
void finish(PIRP irp, IrpHeader* h, UCHAR major, UCHAR minor) {
  auto& s = M();
  h->completed.store(true, std::memory_order_release);
  if (h->busPdo != nullptr) checkBusRules(s, irp, h, major, minor);
  if (major == IRP_MJ_POWER) checkPowerRules(s, irp, h, minor);
  if (h->onComplete) h->onComplete(irp);
}

}  // namespace

IrpHeader* headerOf(PIRP irp) {
  if (irp == nullptr) return nullptr;
  auto* h = reinterpret_cast<IrpHeader*>(reinterpret_cast<char*>(irp) - kHeaderBytes);
  return h->magic == IrpHeader::kMagic ? h : nullptr;
}

std::string describeIrp(PIRP irp) { return hex(reinterpret_cast<uintptr_t>(irp)); }

PIRP allocateIrp(CCHAR stackSize) {
  size_t bytes = irpBlockBytes(stackSize);
  void* memory = M().irpLookaside.allocate(bytes);
  if (memory == nullptr) return nullptr;
  auto* h = new (memory) IrpHeader;
  h->bytes = bytes;
  auto* irp = reinterpret_cast<PIRP>(static_cast<char*>(memory) + kHeaderBytes);
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

IoResult sendAndWait(PDEVICE_OBJECT target, PIRP irp, bool power) {
  auto& s = M();
  IrpHeader* h = headerOf(irp);
  addIrpReference(irp);  // the waiter's own
  NTSTATUS returned = power ? PoCallDriver(target, irp) : IofCallDriver(target, irp);
  if (t_afterDispatch) std::exchange(t_afterDispatch, nullptr)();
  bool done;
  {
    std::unique_lock lock(h->doneMutex);
    done = h->doneCv.wait_for(lock, s.hangTimeout, [&] { return h->done; });
    if (!done) h->abandoned = true;  // decided under the lock: a late completion frees it
  }
  IoResult result;
  if (!done) {
    {
      std::lock_guard lock(s.abandonedMutex);
      s.abandoned.insert(irp);
    }
    const auto* location = locationAt(irp, irp->StackCount);
    s.report(power ? "POWER_IRP_NEVER_COMPLETED" : "IRP_NEVER_COMPLETED",
             "IRP " + describeIrp(irp) + " (major " + hex(location->MajorFunction) + ", minor " +
                 hex(location->MinorFunction) + ") sent to " + hex(reinterpret_cast<uintptr_t>(target)) +
                 " was not completed within the hang timeout" + (power ? " (bug check 0x9F/3)" : "") +
                 "; dispatch returned " + statusName(returned));
    // Windows would block the caller for good; a failure status (not the
    // STATUS_TIMEOUT success code) makes sure no caller takes it for an answer.
    result.status = returned == STATUS_PENDING ? STATUS_IO_TIMEOUT : returned;
    result.win32 = win32ErrorOf(result.status);
    return result;
  }
  // The I/O manager hands back what IoCallDriver returned; only for
  // STATUS_PENDING does the caller wait and take the status block's status.
  result.status = returned == STATUS_PENDING ? irp->IoStatus.Status : returned;
  result.information = irp->IoStatus.Information;
  result.win32 = win32ErrorOf(result.status);
  releaseIrp(irp);
  releaseIrp(irp);
  return result;
}

void signalDone(PIRP irp) {
  IrpHeader* h = headerOf(irp);
  bool abandoned;
  {
    std::lock_guard lock(h->doneMutex);
    h->done = true;
    abandoned = h->abandoned;
    // Still under the lock: once it is released the waiter may free the IRP,
    // and the condition variable with it.
    h->doneCv.notify_all();
  }
  if (!abandoned) return;
  auto& s = M();
  {
    std::lock_guard lock(s.abandonedMutex);
    s.abandoned.erase(irp);
  }
  releaseIrp(irp);  // the waiter's reference
  releaseIrp(irp);  // the originator's
}

// Frees the requests nobody completed before the machine goes.
void dropAbandonedIrps(MachineState& s) {
  std::set<PIRP> left;
  {
    std::lock_guard lock(s.abandonedMutex);
    left.swap(s.abandoned);
  }
  for (PIRP irp : left) {
    if ((irp->Flags & IRP_DEALLOCATE_BUFFER) && irp->AssociatedIrp.SystemBuffer != nullptr) {
      freeSystemBuffer(s, irp->AssociatedIrp.SystemBuffer);
    }
    for (PMDL mdl = irp->MdlAddress; mdl != nullptr;) {
      PMDL next = mdl->Next;
      IoFreeMdl(mdl);
      mdl = next;
    }
    releaseIrp(irp);
    releaseIrp(irp);
  }
}

void setSendingPower(bool on) { t_sendingPower = on; }

void setAfterDispatch(std::function<void()> told) { t_afterDispatch = std::move(told); }

// The IRP whose dispatch routine this thread is running, innermost first (a bug check names it).
PIRP dispatchingIrp() { return t_frames.empty() ? nullptr : t_frames.back()->irp; }

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
  h->sentWithPoCallDriver = false;
  h->visited.clear();
  h->startedNext.clear();
  h->completed.store(false, std::memory_order_relaxed);
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  auto& s = M();
  bool power = t_sendingPower;
  t_sendingPower = false;
  IrpHeader* h = headerOf(Irp);
  if (DeviceObject == nullptr || h == nullptr) {
    s.report("BAD_ARGUMENT", "IofCallDriver with device " + hex(reinterpret_cast<uintptr_t>(DeviceObject)) +
                                 " and IRP " + describeIrp(Irp));
    return STATUS_INVALID_PARAMETER;
  }
  if (h->completed.load()) {
    s.report("IRP_USED_AFTER_COMPLETION", "IofCallDriver with IRP " + describeIrp(Irp) + ", already completed");
    return STATUS_INVALID_PARAMETER;
  }
  if (Irp->CurrentLocation <= 1) {
    s.report("NO_MORE_IRP_STACK_LOCATIONS", "IofCallDriver with IRP " + describeIrp(Irp) + " at stack location " +
                                                std::to_string(Irp->CurrentLocation) + " of " +
                                                std::to_string(Irp->StackCount) + " (bug check 0x35)");
    return STATUS_INVALID_PARAMETER;
  }
  IoSetNextIrpStackLocation(Irp);
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
  location->DeviceObject = DeviceObject;
  int level = Irp->CurrentLocation;
  UCHAR major = location->MajorFunction;
  if (major > IRP_MJ_MAXIMUM_FUNCTION) {
    s.report("BAD_ARGUMENT", "IRP " + describeIrp(Irp) + " with major function " + hex(major));
    return STATUS_INVALID_PARAMETER;
  }
  if (major == IRP_MJ_POWER) {
    if (!power) {
      s.report("POWER_IRP_SENT_WITH_IOCALLDRIVER",
               "power IRP " + describeIrp(Irp) + " sent with IoCallDriver instead of PoCallDriver");
    }
    recordPowerDispatch(h, location, level);
  }
  bool markedBefore = (location->Control & SL_PENDING_RETURNED) != 0;
  h->dispatching.fetch_add(1);
  {
    std::lock_guard lock(h->doneMutex);
    h->finishedMask &= ~(levelBit(level) | levelBit(level + 1));
    h->belowFinishedMask &= ~(levelBit(level) | levelBit(level + 1));
  }
  addIrpReference(Irp);
  PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[major];
  DispatchFrame frame{Irp};
  t_frames.push_back(&frame);
  NTSTATUS status = dispatch(DeviceObject, Irp);
  t_frames.pop_back();
  if (status == STATUS_PENDING && !t_frames.empty() && t_frames.back()->irp == Irp) {
    t_frames.back()->lowerReturnedPending = true;
  }

  // The dispatch rules: pending returned only when marked, marked only when
  // returned, and a request completed here returns the status it carries.
  bool finished, marked;
  NTSTATUS finishedWith;
  {
    std::lock_guard lock(h->doneMutex);
    finished = (h->finishedMask & levelBit(level)) != 0;
    if (finished) {
      marked = (h->pendingMask & levelBit(level)) != 0;
    } else if (h->belowFinishedMask & levelBit(level)) {
      // This level's completion routine may be running in another thread: read what it found.
      marked = (h->markedBeforeRoutineMask & levelBit(level)) != 0;
    } else {
      marked = (locationAt(Irp, level)->Control & SL_PENDING_RETURNED) != 0;
    }
    finishedWith = h->statusAt[level];
  }
  h->dispatching.fetch_sub(1, std::memory_order_release);
  if (status == STATUS_PENDING && !marked && !frame.lowerReturnedPending) {
    s.report("PENDING_NOT_MARKED", "dispatch routine for major " + hex(major) + " returned STATUS_PENDING for IRP " +
                                       describeIrp(Irp) + " without IoMarkIrpPending (0xC9/0x224)");
  }
  if (status != STATUS_PENDING && marked && !markedBefore) {
    s.report("PENDING_MARKED_NOT_RETURNED", "dispatch routine for major " + hex(major) + " marked IRP " +
                                                describeIrp(Irp) + " pending but returned " + statusName(status));
  }
  if (status != STATUS_PENDING && finished && status != finishedWith) {
    s.report("STATUS_MISMATCH", "dispatch routine for major " + hex(major) + " returned " + statusName(status) +
                                    " but completed IRP " + describeIrp(Irp) + " with " + statusName(finishedWith) +
                                    " (0xC9/0x224)");
  }
  releaseIrp(Irp);
  return status;
}

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
