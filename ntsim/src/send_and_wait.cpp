// The originator's side of a request the machine sends (the PnP and power
// managers, a program's read or write): sent down the stack and waited for,
// a hang reported instead of hung, and the requests whose originator gave
// up freed by whoever completes them, or when the machine goes.
#include "irp.h"
#include "state.h"

#include <set>
#include <utility>

namespace ntsim {
namespace {

// Told once the dispatch routine of this thread's next request has returned (an overlapped request's sender).
thread_local std::function<void()> t_afterDispatch;

}  // namespace

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

void setAfterDispatch(std::function<void()> told) { t_afterDispatch = std::move(told); }

IoResult failure(NTSTATUS status) {
  IoResult result;
  result.status = status;
  result.win32 = status == STATUS_INVALID_HANDLE ? 6 : win32ErrorOf(status);
  return result;
}

}  // namespace ntsim
