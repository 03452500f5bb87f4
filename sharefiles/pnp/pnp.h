/*
 * pnp.h - the Plug and Play dispatcher. Start and the capability query are
 * forwarded and waited for; stop and remove are traced and passed down; the
 * removal takes the device down; everything else goes on down untouched.
 */
#ifndef PDKIT_PNP_H
#define PDKIT_PNP_H

#include "sharefiles/common.h"

DRIVER_DISPATCH DispatchPnp;
DRIVER_DISPATCH StartDevice;
DRIVER_DISPATCH StopDevice;
DRIVER_DISPATCH RemoveDevice;
DRIVER_DISPATCH QueryDeviceCapability;
IO_COMPLETION_ROUTINE QueryCapabilitiesCompletion;

#endif /* PDKIT_PNP_H */
