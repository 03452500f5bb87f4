/*
 * Tavrin, the direct-transfer driver. The I/O manager locks the caller's
 * buffer and describes it by the MDL in Irp->MdlAddress; reads and writes
 * map that MDL and move the bytes between it and the store.
 */
#include "sharefiles/common.h"
#include "sharefiles/store.h"

const DRIVER_VALUES DriverValues = {
    .DeviceName = L"\\DosDevices\\TAVRINDEV",
    .TransferFlag = DO_DIRECT_IO,
    .Description = L"Tavrin direct I/O driver for the TAVRINDEV pseudo device\r\n"
        L"Written by the pdkit team, 2026-12-08\r\n",
    .DispatchRead = DispatchRead,
    .DispatchWrite = DispatchWrite,
    .FrameTrace = NULL,
    .DeviceControlMarkers = TRUE,
};

/*
 * Moves the bytes through the caller's MDL. An empty transfer comes without
 * an MDL: there is nothing to map, and it moves no bytes.
 */
static NTSTATUS TransferThroughMdl(PDEVICE_OBJECT DeviceObject, PIRP Irp, STORE_DIRECTION Direction)
{
    PMDL Mdl = Irp->MdlAddress;
    ULONG Length = Mdl ? MmGetMdlByteCount(Mdl) : 0;
    ULONG PageOffset = Mdl ? MmGetMdlByteOffset(Mdl) : 0;
    PVOID Address = NULL;
    BOOLEAN LockHeld;

    TraceTransferBegin(Direction);
    if (Mdl) {
        /* The mapping, if one is made, belongs to the MDL; the I/O manager releases both. */
        Address = MmGetSystemAddressForMdlSafe(Mdl, (MM_PAGE_PRIORITY)(HighPagePriority | MappingPriorityFlags));
        if (!Address) {
            DbgPrint("Can't get Virtual Address from MDL\r\n");
            return CompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
        }
    }
    LockHeld = StartTransfer(DeviceObject, Irp, Direction, Length);
    DbgPrint("Offset for Buffer in the Memory Page: %d\r\n", PageOffset);
    return FinishTransfer(DeviceObject, Irp, Direction, Address, Length, LockHeld);
}

NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return TransferThroughMdl(DeviceObject, Irp, StoreRead);
}

NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return TransferThroughMdl(DeviceObject, Irp, StoreWrite);
}
