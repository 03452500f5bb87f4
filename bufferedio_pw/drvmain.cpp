/*
 * Kelvane, the buffered-transfer driver. The I/O manager hands each read or
 * write a system buffer of the request's length; the bytes move between it
 * and the store. A byte offset is not used: copies always start at the
 * first byte of both.
 */
#include "sharefiles/common.h"
#include "sharefiles/store.h"

const DRIVER_VALUES DriverValues = {
    .DeviceName = L"\\DosDevices\\KELVANEDEV",
    .TransferFlag = DO_BUFFERED_IO,
    .Description = L"Kelvane buffered I/O driver for the KELVANEDEV pseudo device\r\n"
        L"Written by the pdkit team, 2026-12-08\r\n",
    .DispatchRead = DispatchRead,
    .DispatchWrite = DispatchWrite,
    .FrameTrace = NULL,
    .DeviceControlMarkers = TRUE,
};

/* Moves the bytes through the system buffer, which an empty transfer may lack. */
static NTSTATUS TransferThroughSystemBuffer(PDEVICE_OBJECT DeviceObject, PIRP Irp, STORE_DIRECTION Direction)
{
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG Length = Direction == StoreRead ? Stack->Parameters.Read.Length : Stack->Parameters.Write.Length;
    BOOLEAN LockHeld;

    TraceTransferBegin(Direction);
    LockHeld = StartTransfer(DeviceObject, Irp, Direction, Length);
    return FinishTransfer(DeviceObject, Irp, Direction, Irp->AssociatedIrp.SystemBuffer, Length, LockHeld);
}

NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return TransferThroughSystemBuffer(DeviceObject, Irp, StoreRead);
}

NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return TransferThroughSystemBuffer(DeviceObject, Irp, StoreWrite);
}
