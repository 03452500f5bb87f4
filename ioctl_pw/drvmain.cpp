/*
 * Ostrel, the control-only driver: the shared core without a data path.
 * Reads and writes stay with the I/O manager, which fails them; the frame
 * traces lines of this driver's own, and device control prints no markers.
 */
#include "sharefiles/common.h"

static const FRAME_TRACE OstrelFrameTrace = {
    "In DriverEntry : Begin\r\n",
    "In DriverEntry : End\r\n",
    "In AddDevice : Begin\r\n",
    "In AddDevice : End\r\n",
    "IRP_MJ_CREATE Received : Begin\r\n",
    "IRP_MJ_CREATE Received : End\r\n",
    "IRP_MJ_CLOSE Received : Begin\r\n",
};

const DRIVER_VALUES DriverValues = {
    L"\\DosDevices\\OSTRELDEV",
    DO_DIRECT_IO,
    L"Ostrel control-code driver for the OSTRELDEV pseudo device\r\n"
    L"Written by the pdkit team, 2026-12-08\r\n",
    NULL,
    NULL,
    "ioctl_pw/drvmain",
    &OstrelFrameTrace,
    FALSE,
};
