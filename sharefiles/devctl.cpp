/*
 * devctl.cpp - device-control requests: the description text and the
 * capability table. Every request is finished here, in the caller's thread.
 */
#include "sharefiles/common.h"

static VOID TraceMarker(PCSTR Line)
{
    if (DriverValues.DeviceControlMarkers)
        DbgPrint(Line);
}

/* A reply is written only when the caller's output buffer holds all of it. */
static BOOLEAN ReplyFits(PIRP Irp, ULONG Length)
{
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);

    return Irp->AssociatedIrp.SystemBuffer && Stack->Parameters.DeviceIoControl.OutputBufferLength >= Length;
}

/* Prints the table as it is at the moment of each line. */
static VOID DumpCapabilityTable(const CAPABILITY_TABLE *Table)
{
    LONG i;

    DbgPrint(Table->CapabilitiesQueried ? "Support Query Device Capability : Yes\r\n"
                                        : "Support Query Device Capability : No\r\n");
    DbgPrint("DeviceD1 : %d\r\n", Table->DeviceD1);
    DbgPrint("DeviceD2 : %d\r\n", Table->DeviceD2);
    DbgPrint("WakeFromD0 : %d\r\n", Table->WakeFromD0);
    DbgPrint("WakeFromD1 : %d\r\n", Table->WakeFromD1);
    DbgPrint("WakeFromD2 : %d\r\n", Table->WakeFromD2);
    DbgPrint("WakeFromD3 : %d\r\n", Table->WakeFromD3);
    DbgPrint("SystemWake : %d\r\n", Table->SystemWake);
    DbgPrint("DeviceWake : %d\r\n", Table->DeviceWake);
    for (i = 0; i < (LONG)CAPABILITY_SYSTEM_STATES; i++)
        DbgPrint("DeviceState[%d] : %d\r\n", i, Table->DeviceState[i]);
}

static NTSTATUS ReplyDescription(PDEVICE_EXTENSION Extension, PIRP Irp, PULONG_PTR Information)
{
    PCUNICODE_STRING Description = &Extension->DeviceDescription;

    if (!ReplyFits(Irp, Description->Length))
        return STATUS_BUFFER_TOO_SMALL;
    RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, Description->Buffer, Description->Length);
    *Information = Description->Length;
    return STATUS_SUCCESS;
}

/*
 * A copy of the table as the last capability query left it: taken with the
 * table locked, so that a query under way cannot mix two reports into it.
 */
static VOID SnapshotCapabilityTable(CAPABILITY_TABLE *Snapshot)
{
    ULONG i;

    LockCapabilityTable();
    RtlCopyMemory(Snapshot, CapabilityTable, offsetof(CAPABILITY_TABLE, DeviceState));
    /* The power paths read these entries without the lock, with interlocked reads; so does the copy. */
    for (i = 0; i < CAPABILITY_SYSTEM_STATES; i++)
        Snapshot->DeviceState[i] = MappedDeviceState(i);
    UnlockCapabilityTable();
}

static NTSTATUS ReplyCapabilityTable(PIRP Irp, PULONG_PTR Information)
{
    CAPABILITY_TABLE Snapshot;

    if (!ReplyFits(Irp, sizeof(CAPABILITY_TABLE)))
        return STATUS_BUFFER_TOO_SMALL;
    SnapshotCapabilityTable(&Snapshot);
    /* The dump shows the very bytes the reply carries. */
    DumpCapabilityTable(&Snapshot);
    RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, &Snapshot, sizeof(CAPABILITY_TABLE));
    *Information = sizeof(CAPABILITY_TABLE);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION Extension = ExtensionOf(DeviceObject);
    ULONG Code = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode;
    ULONG_PTR Information = 0;
    NTSTATUS LockStatus;
    NTSTATUS Status;

    TraceMarker("IRP_MJ_DEVICE_IO_CONTROL : Begin\r\n");
    /*
     * Refused only once someone else has begun a remove-and-wait (a handle
     * opened before it may still send requests): the request is answered all
     * the same, and an acquisition that was not granted is not given back.
     */
    LockStatus = AcquireRemoveLock(Extension, Irp);
    switch (Code) {
    case IOCTL_GET_DESCRIPTION:
        Status = ReplyDescription(Extension, Irp, &Information);
        break;
    case IOCTL_GET_CAPABILITY_TABLE:
        Status = ReplyCapabilityTable(Irp, &Information);
        break;
    default:
        Status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    if (NT_SUCCESS(LockStatus))
        IoReleaseRemoveLock(&Extension->RemoveLock, Irp);
    CompleteRequest(Irp, Status, Information);
    TraceMarker("IRP_MJ_DEVICE_IO_CONTROL : End\r\n");
    return Status;
}
