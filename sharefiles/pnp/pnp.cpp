/*
 * pnp.cpp - Plug and Play requests. Every PnP IRP is finished here with
 * success, apart from a capability query that the driver below fails. The
 * capability query is forwarded synchronously: the dispatching thread waits
 * on an event until the driver below has answered, then fills the device's
 * capabilities and the driver-wide capability table from the answer.
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

NTSTATUS NTAPI QueryDeviceCapability(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION Extension = ExtensionOf(DeviceObject);
    KEVENT Event;
    NTSTATUS Status;

    DbgPrint("Query Device Capability....\r\n");
    DbgPrint("Ready to pass IRP down\r\n");
    KeInitializeEvent(&Event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, QueryCapabilitiesCompletion, &Event, TRUE, TRUE, TRUE);
    IoCallDriver(Extension->NextStackDevice, Irp);
    /* Waited for whatever IoCallDriver returned: the completion routine always sets the event. */
    KeWaitForSingleObject(&Event, Executive, KernelMode, FALSE, NULL);
    Status = Irp->IoStatus.Status;
    if (!NT_SUCCESS(Status)) {
        DbgPrint("Failed to handle IRP_MN_QUERY_CAPABILITIES");
        return Status;
    }
    CaptureCapabilities(Extension, IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities);
    return Status;
}

/* Runs the handler of the minor function between the minor's own Begin and End lines. */
static NTSTATUS HandleMinorFunction(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDRIVER_DISPATCH Handler;
    PCSTR Begin;
    PCSTR End;
    NTSTATUS Status;

    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        Begin = "IRP_MN_START_DEVICE Received : Begin\r\n";
        Handler = StartDevice;
        End = "IRP_MN_START_DEVICE Received : End\r\n";
        break;
    case IRP_MN_REMOVE_DEVICE:
        Begin = "IRP_MN_REMOVE_DEVICE Received : Begin\r\n";
        Handler = RemoveDevice;
        End = "IRP_MN_REMOVE_DEVICE Received : End\r\n";
        break;
    case IRP_MN_STOP_DEVICE:
        Begin = "IRP_MN_STOP_DEVICE Received : Begin\r\n";
        Handler = StopDevice;
        End = "IRP_MN_STOP_DEVICE Received : End\r\n";
        break;
    case IRP_MN_QUERY_CAPABILITIES:
        Begin = "IRP_MN_QUERY_CAPABILITIES Received : Begin\r\n";
        Handler = QueryDeviceCapability;
        End = "IRP_MN_QUERY_CAPABILITIES Received : End\r\n";
        break;
    default:
        return STATUS_SUCCESS;
    }
    DbgPrint(Begin);
    Status = Handler(DeviceObject, Irp);
    DbgPrint(End);
    return Status;
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION Extension = ExtensionOf(DeviceObject);
    NTSTATUS LockStatus;
    NTSTATUS Status;

    DbgPrint("IRP_MJ_PNP Received : Begin\r\n");
    /*
     * The driver never waits for the lock's removal itself, so the
     * acquisition normally succeeds. Once someone else has begun a
     * remove-and-wait it is refused: the request is still handled, and no
     * acquisition that was never granted is given back.
     */
    LockStatus = AcquireRemoveLock(Extension, Irp, __FILE__);
    Status = HandleMinorFunction(DeviceObject, Irp);
    if (NT_SUCCESS(LockStatus))
        IoReleaseRemoveLock(&Extension->RemoveLock, Irp);
    /* Only a failed capability query fails the request; the IRP carries the status returned. */
    Status = CompleteRequest(Irp, NT_SUCCESS(Status) ? STATUS_SUCCESS : Status, 0);
    DbgPrint("IRP_MJ_PNP Received : End\r\n");
    return Status;
}
