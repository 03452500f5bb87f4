// The PnP manager's requests to a device stack, built as Windows builds
// them: IoStatus.Status preset to STATUS_NOT_SUPPORTED, sent to the top of
// the stack at PASSIVE_LEVEL, waited for.
#include "state.h"

namespace ntsim {

void signalDone(PIRP irp);

namespace {

PIRP buildPnpIrp(DeviceNode& node, UCHAR minor, PDEVICE_OBJECT* target) {
  *target = IoGetAttachedDevice(node.pdo());
  PIRP irp = allocateIrp((*target)->StackSize);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp->RequestorMode = KernelMode;
  PIO_STACK_LOCATION location = IoGetNextIrpStackLocation(irp);
  location->MajorFunction = IRP_MJ_PNP;
  location->MinorFunction = minor;
  headerOf(irp)->onComplete = signalDone;
  return irp;
}

}  // namespace

IoResult Machine::pnp(DeviceNode& node, UCHAR minor) {
  if (minor == IRP_MN_QUERY_CAPABILITIES) return queryCapabilities(node);
  PDEVICE_OBJECT target;
  PIRP irp = buildPnpIrp(node, minor, &target);
  if (minor == IRP_MN_QUERY_DEVICE_RELATIONS) {
    IoGetNextIrpStackLocation(irp)->Parameters.QueryDeviceRelations.Type = BusRelations;
  }
  return sendAndWait(target, irp, false);
}

IoResult Machine::queryCapabilities(DeviceNode& node, DEVICE_CAPABILITIES* answer) {
  // The sender initialises the structure; the bus driver fills it on the way down.
  DEVICE_CAPABILITIES caps{};
  caps.Size = sizeof caps;
  caps.Version = 1;
  caps.Address = 0xFFFFFFFF;
  caps.UINumber = 0xFFFFFFFF;
  PDEVICE_OBJECT target;
  PIRP irp = buildPnpIrp(node, IRP_MN_QUERY_CAPABILITIES, &target);
  IoGetNextIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities = &caps;
  IoResult result = sendAndWait(target, irp, false);
  if (answer != nullptr) *answer = caps;
  return result;
}

}  // namespace ntsim
