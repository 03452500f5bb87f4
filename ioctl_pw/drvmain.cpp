/*
 * Ostrel, the control-only driver: the shared core without a data path.
 * Reads and writes stay with the I/O manager, which fails them; the frame
 * traces lines of this driver's own, and device control prints no markers.
 */
#include "sharefiles/common.h"

static const FRAME_TRACE OstrelFrameTrace = {
    .DriverEntryBegin = "In DriverEntry : Begin\r\n",
    .DriverEntryEnd = "In DriverEntry : End\r\n",
    .AddDeviceBegin = "In AddDevice : Begin\r\n",
    .AddDeviceEnd = "In AddDevice : End\r\n",
    .CreateBegin = "IRP_MJ_CREATE Received : Begin\r\n",
    .CreateEnd = "IRP_MJ_CREATE Received : End\r\n",
    .CloseBegin = "IRP_MJ_CLOSE Received : Begin\r\n",
};

const DRIVER_VALUES DriverValues = {
    .DeviceName = L"\\DosDevices\\OSTRELDEV",
    .TransferFlag = DO_DIRECT_IO,
    .Description = L"Ostrel control-code driver for the OSTRELDEV pseudo device\r\n"
        L"Written by the pdkit team, 2026-12-08\r\n",
    .DispatchRead = NULL,
    .DispatchWrite = NULL,
    .FrameTrace = &OstrelFrameTrace,
    .DeviceControlMarkers = FALSE,
};
