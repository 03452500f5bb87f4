// The PnP manager's part that other kernel parts share: which requests make
// up a device's life, and the rules only the bus driver's view can check
// (pnp_rules.cpp), run when an IRP the PnP or power manager sent is finished.
#pragma once

#include "irp.h"

namespace ntsim {

struct MachineState;

// The PnP requests of a device's life: start, stop and removal, their queries and cancels, surprise removal.
constexpr bool isLifecycleMinor(UCHAR minor) {
  return minor <= IRP_MN_CANCEL_STOP_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL;
}

// The root bus's physical device object at the bottom of the device's stack, or nullptr.
PDEVICE_OBJECT busPdoBelow(PDEVICE_OBJECT device);
// Checked when an IRP the PnP or power manager sent is finished.
void checkBusRules(MachineState& s, PIRP irp, IrpHeader* h, UCHAR major, UCHAR minor);

}  // namespace ntsim
