/*
 * pnp.cpp - Plug and Play requests, handled as a function driver must.
 * Start is forwarded first and waited for, then traced; the capability
 * query is forwarded the same way and its answer fills the device's
 * capabilities and the driver-wide capability table. Stop and remove are
 * traced, the removal waits for every request in progress on the remove
 * lock and takes the device down, and every request, handled or not, goes
 * on down to the bus driver, which owns the device's hardware state.
 */
#include "sharefiles/pnp/pnp.h"

NTSTATUS NTAPI StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    DbgPrint("Start Device....\r\n");
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI StopDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    DbgPrint("Stop Device....\r\n");
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    DbgPrint("Remove Device....\r\n");
    return STATUS_SUCCESS;
}

/* Keeps the whole report and copies the fields the table carries. */
static VOID CaptureCapabilities(PDEVICE_EXTENSION Extension, const DEVICE_CAPABILITIES *Reported)
{
    PDEVICE_CAPABILITIES Capabilities = &Extension->DeviceCapabilities;
    PCAPABILITY_TABLE Table = CapabilityTable;
    ULONG i;

    LockCapabilityTable();
    RtlCopyMemory(Capabilities, Reported, sizeof(DEVICE_CAPABILITIES));
    Table->CapabilitiesQueried = TRUE;
    Table->DeviceD1 = Capabilities->DeviceD1;
    Table->DeviceD2 = Capabilities->DeviceD2;
    Table->WakeFromD0 = Capabilities->WakeFromD0;
    Table->WakeFromD1 = Capabilities->WakeFromD1;
    Table->WakeFromD2 = Capabilities->WakeFromD2;
    Table->WakeFromD3 = Capabilities->WakeFromD3;
    Table->SystemWake = Capabilities->SystemWake;
    Table->DeviceWake = Capabilities->DeviceWake;
    for (i = 0; i < CAPABILITY_SYSTEM_STATES; i++)
        SetMappedDeviceState(i, Capabilities->DeviceState[i]);
    UnlockCapabilityTable();
}

NTSTATUS NTAPI QueryCapabilitiesCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    DbgPrint("In Completion Routine for IRP_MN_QUERY_CAPABILITIES....\r\n");
    /* The waiter owns the event and the IRP from here on. */
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    DbgPrint("return from IoCompletion Routine for IRP_MN_QUERY_CAPABILITIES\r\n");
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/* Hands a forwarded request back to the thread that waits for it; prints nothing. */
static NTSTATUS NTAPI ForwardedCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/*
 * Sends the IRP to the driver below and waits until it has completed it;
 * the IRP comes back to the caller, who completes it. Returns its status.
 */
static NTSTATUS ForwardAndWait(PDEVICE_EXTENSION Extension, PIRP Irp, PIO_COMPLETION_ROUTINE Completion)
{
    KEVENT Event;

    KeInitializeEvent(&Event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, Completion, &Event, TRUE, TRUE, TRUE);
    IoCallDriver(Extension->NextStackDevice, Irp);
    /* Waited for whatever IoCallDriver returned: the completion routine always sets the event. */
    KeWaitForSingleObject(&Event, Executive, KernelMode, FALSE, NULL);
    return Irp->IoStatus.Status;
}

NTSTATUS NTAPI QueryDeviceCapability(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION Extension = ExtensionOf(DeviceObject);
    NTSTATUS Status;

    DbgPrint("Query Device Capability....\r\n");
    DbgPrint("Ready to pass IRP down\r\n");
    Status = ForwardAndWait(Extension, Irp, QueryCapabilitiesCompletion);
    if (!NT_SUCCESS(Status)) {
        DbgPrint("Failed to handle IRP_MN_QUERY_CAPABILITIES");
        return Status;
    }
    CaptureCapabilities(Extension, IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities);
    return Status;
}

/* Runs a minor function's handler between the minor's own Begin and End lines. */
static NTSTATUS TraceMinorFunction(PDEVICE_OBJECT DeviceObject, PIRP Irp, PCSTR Begin, PDRIVER_DISPATCH Handler,
                                   PCSTR End)
{
    NTSTATUS Status;

    DbgPrint(Begin);
    Status = Handler(DeviceObject, Irp);
    DbgPrint(End);
    return Status;
}

/*
 * Passes the IRP on to the driver below with the status this driver sets
 * (STATUS_SUCCESS for a request a function driver must succeed), or with
 * the status it came with for a request this driver does not handle.
 */
static NTSTATUS PassDown(PDEVICE_EXTENSION Extension, PIRP Irp, BOOLEAN Succeed)
{
    if (Succeed)
        Irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(Extension->NextStackDevice, Irp);
}

/* Start: the driver below starts the device first; then the driver's own start. */
static NTSTATUS HandleStart(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    NTSTATUS Status = ForwardAndWait(ExtensionOf(DeviceObject), Irp, ForwardedCompletion);

    if (NT_SUCCESS(Status))
        Status = TraceMinorFunction(DeviceObject, Irp, "IRP_MN_START_DEVICE Received : Begin\r\n", StartDevice,
                                    "IRP_MN_START_DEVICE Received : End\r\n");
    return CompleteRequest(Irp, Status, NT_SUCCESS(Status) ? Irp->IoStatus.Information : 0);
}

static NTSTATUS HandleQueryCapabilities(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    NTSTATUS Status = TraceMinorFunction(DeviceObject, Irp, "IRP_MN_QUERY_CAPABILITIES Received : Begin\r\n",
                                         QueryDeviceCapability, "IRP_MN_QUERY_CAPABILITIES Received : End\r\n");

    /* Only a failed capability query fails the request. */
    return CompleteRequest(Irp, NT_SUCCESS(Status) ? STATUS_SUCCESS : Status, 0);
}

static NTSTATUS HandleStop(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    TraceMinorFunction(DeviceObject, Irp, "IRP_MN_STOP_DEVICE Received : Begin\r\n", StopDevice,
                       "IRP_MN_STOP_DEVICE Received : End\r\n");
    return PassDown(ExtensionOf(DeviceObject), Irp, TRUE);
}

/* Frees what belongs to the device, detaches it from the stack and deletes it. */
static VOID DeleteDevice(PDEVICE_EXTENSION Extension)
{
    LockCapabilityTable();
    if (CapabilityTable) {
        ExFreePool(CapabilityTable);
        CapabilityTable = NULL;
    }
    UnlockCapabilityTable();
    if (Extension->DataBuffer) {
        ExFreePool(Extension->DataBuffer);
        Extension->DataBuffer = NULL;
    }
    IoDetachDevice(Extension->NextStackDevice);
    IoDeleteDevice(Extension->DeviceObject);
}

/*
 * Remove: waits until every request in progress has given back the remove
 * lock (no new one gets it from now on), passes the removal down to the bus
 * driver and takes the device down. The dispatch routine's acquisition is
 * the one given back by the wait.
 */
static NTSTATUS HandleRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION Extension = ExtensionOf(DeviceObject);
    NTSTATUS Status;

    TraceMinorFunction(DeviceObject, Irp, "IRP_MN_REMOVE_DEVICE Received : Begin\r\n", RemoveDevice,
                       "IRP_MN_REMOVE_DEVICE Received : End\r\n");
    IoReleaseRemoveLockAndWait(&Extension->RemoveLock, Irp);
    Status = PassDown(Extension, Irp, TRUE);
    DeleteDevice(Extension);
    return Status;
}

/* Sends the request to its minor function's handling; the remove lock is held meanwhile. */
static NTSTATUS HandleMinorFunction(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION Extension = ExtensionOf(DeviceObject);

    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        return HandleStart(DeviceObject, Irp);
    case IRP_MN_QUERY_CAPABILITIES:
        return HandleQueryCapabilities(DeviceObject, Irp);
    case IRP_MN_STOP_DEVICE:
        return HandleStop(DeviceObject, Irp);
    case IRP_MN_REMOVE_DEVICE:
        return HandleRemove(DeviceObject, Irp);
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        /* The device holds nothing that could refuse these: succeeded, and the bus driver sees them. */
        return PassDown(Extension, Irp, TRUE);
    default:
        /* Not this driver's business: the driver below answers, the status as it came. */
        return PassDown(Extension, Irp, FALSE);
    }
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION Extension = ExtensionOf(DeviceObject);
    UCHAR MinorFunction = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
    NTSTATUS Status;

    DbgPrint("IRP_MJ_PNP Received : Begin\r\n");
    Status = AcquireRemoveLock(Extension, Irp);
    if (!NT_SUCCESS(Status)) {
        /* The device is being removed: nothing below may be called any more. */
        CompleteRequest(Irp, Status, 0);
        DbgPrint("IRP_MJ_PNP Received : End\r\n");
        return Status;
    }
    Status = HandleMinorFunction(DeviceObject, Irp);
    /* The removal gave its acquisition back in the wait, and the device is gone. */
    if (MinorFunction != IRP_MN_REMOVE_DEVICE)
        IoReleaseRemoveLock(&Extension->RemoveLock, Irp);
    DbgPrint("IRP_MJ_PNP Received : End\r\n");
    return Status;
}
