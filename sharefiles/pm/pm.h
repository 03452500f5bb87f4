/*
 * pm.h - the power dispatcher. The driver is its device's power policy
 * owner: a system power IRP is passed down and then turned into a device
 * power IRP for the device state the capability table maps it to.
 */
#ifndef PDKIT_PM_H
#define PDKIT_PM_H

#include "sharefiles/common.h"

DRIVER_DISPATCH DispatchPower;
IO_COMPLETION_ROUTINE DevicePowerQueryCompletion;
IO_COMPLETION_ROUTINE DevicePowerSetCompletion;
IO_COMPLETION_ROUTINE SystemPowerQueryCompletion;
IO_COMPLETION_ROUTINE SystemPowerSetCompletion;
REQUEST_POWER_COMPLETE DevicePowerQueryCallback;
REQUEST_POWER_COMPLETE DevicePowerSetCallback;

#endif /* PDKIT_PM_H */
