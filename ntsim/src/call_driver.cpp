// IofCallDriver: an IRP passed to the next stack location and its driver's
// dispatch routine, and the dispatch rules Driver Verifier checks once the
// routine returns (pending returned only when marked, marked only when
// returned, the status returned is the status completed with).
#include "irp.h"
#include "power.h"
#include "state.h"

namespace ntsim {
namespace {

thread_local bool t_sendingPower = false;

// One dispatch routine running on this thread for an IRP. A routine may
// return STATUS_PENDING without marking the IRP when it passed the IRP down
// and returns what the lower driver returned (its completion routine marks
// it later): the frame remembers that a lower IofCallDriver pended.
struct DispatchFrame {
  PIRP irp;
  bool lowerReturnedPending = false;
};
thread_local std::vector<DispatchFrame*> t_frames;

}  // namespace

void setSendingPower(bool on) { t_sendingPower = on; }

// The IRP whose dispatch routine this thread is running, innermost first (a bug check names it).
PIRP dispatchingIrp() { return t_frames.empty() ? nullptr : t_frames.back()->irp; }

}  // namespace ntsim

using namespace ntsim;

extern "C" {

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

}  // extern "C"
