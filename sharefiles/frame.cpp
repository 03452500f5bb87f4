/*
 * frame.cpp - the frame of every driver: entry, device creation, unload,
 * open and close, and request completion. Compiled into each driver with the
 * values of its main file (DriverValues).
 */
#include "sharefiles/common.h"
#include "sharefiles/pm/pm.h"
#include "sharefiles/pnp/pnp.h"

PCAPABILITY_TABLE CapabilityTable;
UNICODE_STRING DeviceName;
static KMUTEX CapabilityTableLock;

static const FRAME_TRACE SilentFrame = {}; /* every line NULL: nothing printed */

static const FRAME_TRACE *FrameLines(VOID)
{
    return DriverValues.FrameTrace ? DriverValues.FrameTrace : &SilentFrame;
}

static VOID TraceLine(PCSTR Line)
{
    if (Line)
        DbgPrint(Line);
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(RegistryPath);

    TraceLine(FrameLines()->DriverEntryBegin);
    ChooseMemoryTypes();
    KeInitializeMutex(&CapabilityTableLock, 0);
    DriverObject->DriverUnload = DriverUnload;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    /* A driver without a data path leaves reads and writes to the I/O manager, which fails them. */
    if (DriverValues.DispatchRead) {
        DriverObject->MajorFunction[IRP_MJ_READ] = DriverValues.DispatchRead;
        DriverObject->MajorFunction[IRP_MJ_WRITE] = DriverValues.DispatchWrite;
    }
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    TraceLine(FrameLines()->DriverEntryEnd);
    return STATUS_SUCCESS;
}

/* Allocates the zeroed store, in the drivers that have a data path. */
static NTSTATUS AllocateDataBuffer(PDEVICE_EXTENSION Extension)
{
    if (!DriverValues.DispatchRead)
        return STATUS_SUCCESS;
    Extension->DataBuffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPoolType, DATA_BUFFER_SIZE, POOL_TAG);
    if (!Extension->DataBuffer)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(Extension->DataBuffer, DATA_BUFFER_SIZE);
    return STATUS_SUCCESS;
}

/* Frees the store and deletes the device: undoes a device creation that could not be finished. */
static NTSTATUS DiscardDevice(PDEVICE_EXTENSION Extension, NTSTATUS Status)
{
    if (Extension->DataBuffer)
        ExFreePool(Extension->DataBuffer);
    IoDeleteDevice(Extension->DeviceObject);
    return Status;
}

/*
 * Allocates the zeroed capability table, publishes it and attaches the
 * device to the stack. On failure the table is freed and CapabilityTable
 * points where it pointed before.
 */
static NTSTATUS AttachDevice(PDEVICE_EXTENSION Extension, PDEVICE_OBJECT PhysicalDeviceObject)
{
    PCAPABILITY_TABLE PreviousTable = CapabilityTable;
    PCAPABILITY_TABLE Table;

    Table = (PCAPABILITY_TABLE)ExAllocatePoolWithTag(NonPagedPoolType, sizeof(CAPABILITY_TABLE), POOL_TAG);
    if (!Table)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(Table, sizeof(CAPABILITY_TABLE));
    CapabilityTable = Table;
    Extension->NextStackDevice = IoAttachDeviceToDeviceStack(Extension->DeviceObject, PhysicalDeviceObject);
    if (Extension->NextStackDevice)
        return STATUS_SUCCESS;
    CapabilityTable = PreviousTable;
    ExFreePool(Table);
    return STATUS_NO_SUCH_DEVICE;
}

/* Creates and sets up the device; no half-built device is left behind on failure. */
static NTSTATUS CreateDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    PDEVICE_OBJECT DeviceObject;
    PDEVICE_EXTENSION Extension;
    NTSTATUS Status;

    RtlInitUnicodeString(&DeviceName, DriverValues.DeviceName);
    Status = IoCreateDevice(DriverObject, sizeof(DEVICE_EXTENSION), &DeviceName, FILE_DEVICE_UNKNOWN,
                            FILE_DEVICE_SECURE_OPEN, FALSE, &DeviceObject);
    if (!NT_SUCCESS(Status))
        return Status;
    DeviceObject->Flags |= DriverValues.TransferFlag;
    Extension = ExtensionOf(DeviceObject);
    RtlZeroMemory(Extension, sizeof(DEVICE_EXTENSION));
    Extension->DeviceObject = DeviceObject;
    RtlInitUnicodeString(&Extension->DeviceDescription, DriverValues.Description);
    IoInitializeRemoveLockEx(&Extension->RemoveLock, REMOVE_LOCK_TAG, 0, 0, sizeof(IO_REMOVE_LOCK));
    KeInitializeMutex(&Extension->DataBufferLock, 0);
    Status = AllocateDataBuffer(Extension);
    if (!NT_SUCCESS(Status))
        return DiscardDevice(Extension, Status);
    Extension->SystemPowerState = PowerSystemWorking;
    Extension->DevicePowerState = PowerDeviceD0;
    Status = AttachDevice(Extension, PhysicalDeviceObject);
    if (!NT_SUCCESS(Status))
        return DiscardDevice(Extension, Status);
    /* Last: from here on the I/O manager lets requests reach the device. */
    DeviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    NTSTATUS Status;

    TraceLine(FrameLines()->AddDeviceBegin);
    Status = CreateDevice(DriverObject, PhysicalDeviceObject);
    TraceLine(FrameLines()->AddDeviceEnd);
    return Status;
}

VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject)
{
    PDEVICE_OBJECT DeviceObject = DriverObject->DeviceObject;
    PDEVICE_EXTENSION Extension;

    DbgPrint("In DriverUnload : Begin\r\n");
    if (CapabilityTable) {
        ExFreePool(CapabilityTable);
        CapabilityTable = NULL;
    }
    /* AddDevice may never have run, or failed: then there is no device to take down. */
    if (DeviceObject) {
        Extension = ExtensionOf(DeviceObject);
        if (Extension->DataBuffer)
            ExFreePool(Extension->DataBuffer);
        IoDetachDevice(Extension->NextStackDevice);
        IoDeleteDevice(Extension->DeviceObject);
    }
    DbgPrint("In DriverUnload : End\r\n");
}

NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PFILE_OBJECT FileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    NTSTATUS Status;

    TraceLine(FrameLines()->CreateBegin);
    /* An open handle holds the lock, tagged with its file object, until it is closed. */
    Status = AcquireRemoveLock(ExtensionOf(DeviceObject), FileObject);
    Status = CompleteRequest(Irp, NT_SUCCESS(Status) ? STATUS_SUCCESS : Status, 0);
    TraceLine(FrameLines()->CreateEnd);
    return Status;
}

NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PFILE_OBJECT FileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;

    TraceLine(FrameLines()->CloseBegin);
    IoReleaseRemoveLock(&ExtensionOf(DeviceObject)->RemoveLock, FileObject);
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

VOID LockCapabilityTable(VOID)
{
    KeWaitForSingleObject(&CapabilityTableLock, Executive, KernelMode, FALSE, NULL);
}

VOID UnlockCapabilityTable(VOID)
{
    KeReleaseMutex(&CapabilityTableLock, FALSE);
}

DEVICE_POWER_STATE MappedDeviceState(ULONG SystemState)
{
    /* An interlocked read: comparing with 0 and storing 0 changes nothing. */
    return (DEVICE_POWER_STATE)InterlockedCompareExchange((LONG volatile *)&CapabilityTable->DeviceState[SystemState],
                                                          0, 0);
}

VOID SetMappedDeviceState(ULONG SystemState, LONG DeviceState)
{
    InterlockedExchange((LONG volatile *)&CapabilityTable->DeviceState[SystemState], DeviceState);
}

NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    /* The IRP may be gone now: return the argument, not a value read back. */
    return Status;
}
