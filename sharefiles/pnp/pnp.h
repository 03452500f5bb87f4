/*
 * pnp.h - the Plug and Play dispatcher. Start, stop and remove are only
 * traced; the capability query is the one request passed down the stack.
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
