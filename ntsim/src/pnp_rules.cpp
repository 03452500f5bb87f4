// The Plug and Play and power rules that only the bus driver's view can
// check: which requests must reach the bottom of the stack, which may not
// come back changed without having gone there, and what a wait-wake IRP
// may report. Each rule is named after the Driver Verifier or Static
// Driver Verifier check it models.
#include "irp.h"
#include "pnp.h"
#include "state.h"

namespace ntsim {
namespace {

// The requests a function driver handles itself (and still passes down).
bool handledByFunctionDrivers(UCHAR minor) { return isLifecycleMinor(minor) || minor == IRP_MN_QUERY_CAPABILITIES; }

// The requests the bus driver must see whenever they succeed.
bool busMustSee(UCHAR minor) {
  return minor == IRP_MN_START_DEVICE || minor == IRP_MN_STOP_DEVICE || minor == IRP_MN_REMOVE_DEVICE ||
         minor == IRP_MN_SURPRISE_REMOVAL;
}

std::string pnpName(UCHAR minor) {
  static const char* const kNames[] = {"IRP_MN_START_DEVICE",       "IRP_MN_QUERY_REMOVE_DEVICE",
                                       "IRP_MN_REMOVE_DEVICE",      "IRP_MN_CANCEL_REMOVE_DEVICE",
                                       "IRP_MN_STOP_DEVICE",        "IRP_MN_QUERY_STOP_DEVICE",
                                       "IRP_MN_CANCEL_STOP_DEVICE", "IRP_MN_QUERY_DEVICE_RELATIONS",
                                       "IRP_MN_QUERY_INTERFACE",    "IRP_MN_QUERY_CAPABILITIES"};
  if (minor < std::size(kNames)) return kNames[minor];
  if (minor == IRP_MN_SURPRISE_REMOVAL) return "IRP_MN_SURPRISE_REMOVAL";
  return "PnP minor " + hex(minor);
}

// The originator's stack location: the first one the IRP was sent with.
PIO_STACK_LOCATION originalLocation(PIRP irp) {
  return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + (irp->StackCount - 1);
}

void checkPnp(MachineState& s, PIRP irp, IrpHeader* h, UCHAR minor) {
  NTSTATUS status = irp->IoStatus.Status;
  if (h->reachedBus.load()) return;
  if (busMustSee(minor) && NT_SUCCESS(status)) {
    s.report("PNP_IRP_NOT_PASSED_DOWN", pnpName(minor) + " " + describeIrp(irp) + " completed with " +
                                            statusName(status) +
                                            " without reaching the bus driver; a function driver passes it "
                                            "down (Static Driver Verifier: PnpIrpCompletion)");
  }
  // A driver may refuse a request (a device being removed does); it may not claim one it never handled.
  if (!handledByFunctionDrivers(minor) && NT_SUCCESS(status)) {
    s.report("PNP_UNHANDLED_STATUS_CHANGED",
             pnpName(minor) + " " + describeIrp(irp) + " came back with " + statusName(status) +
                 " without reaching the bus driver; a request the driver does not handle goes down with its "
                 "status untouched (Driver Verifier I/O verification, 0xC9)");
  }
}

void checkPower(MachineState& s, PIRP irp, IrpHeader* h, UCHAR minor) {
  if (h->reachedBus.load()) return;
  // A failed set is SET_POWER_FAILED's business; a success that never reached the bus is a pretence.
  if (minor == IRP_MN_SET_POWER && NT_SUCCESS(irp->IoStatus.Status) &&
      originalLocation(irp)->Parameters.Power.Type == DevicePowerState) {
    s.report("DEVICE_SET_POWER_NOT_PASSED_DOWN",
             "device IRP_MN_SET_POWER " + describeIrp(irp) +
                 " completed with success without reaching the bus driver; every set-power IRP goes to the "
                 "bottom of the stack");
  }
  if (minor == IRP_MN_WAIT_WAKE && NT_SUCCESS(irp->IoStatus.Status)) {
    s.report("WAIT_WAKE_COMPLETED_UNARMED",
             "IRP_MN_WAIT_WAKE " + describeIrp(irp) +
                 " completed with success, but no driver armed the device for wake (the bus driver never saw "
                 "it): a success says the device woke the system");
  }
}

}  // namespace

PDEVICE_OBJECT busPdoBelow(PDEVICE_OBJECT device) {
  auto& s = M();
  std::lock_guard lock(s.objectMutex);
  for (PDEVICE_OBJECT at = device; at != nullptr && at->DeviceObjectExtension != nullptr;
       at = at->DeviceObjectExtension->attachedTo) {
    if (at->DeviceObjectExtension->node != nullptr) return at;
  }
  return nullptr;
}

void checkBusRules(MachineState& s, PIRP irp, IrpHeader* h, UCHAR major, UCHAR minor) {
  if (major == IRP_MJ_PNP) checkPnp(s, irp, h, minor);
  if (major == IRP_MJ_POWER) checkPower(s, irp, h, minor);
}

}  // namespace ntsim
