// A user's driver module with a bug for pdctl's tests: it forgets the pool
// block it allocated in AddDevice when it unloads, which the verifier
// reports (and pdctl then exits with status 2).
#include <wdm.h>

// Pool tag "Leak", as the debugger shows it (the characters in memory order).
#define LEAKY_TAG ((ULONG)'L' | ((ULONG)'e' << 8) | ((ULONG)'a' << 16) | ((ULONG)'k' << 24))

static UNICODE_STRING LeakyName;
static PVOID Forgotten;

static NTSTATUS LeakyComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

static PDEVICE_OBJECT LeakyLower(PDEVICE_OBJECT DeviceObject) {
  return *(PDEVICE_OBJECT*)DeviceObject->DeviceExtension;
}

// Every PnP request goes down to the bus; the removal takes the device down.
static NTSTATUS LeakyPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_OBJECT Lower = LeakyLower(DeviceObject);
  UCHAR Minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
  if (Minor <= IRP_MN_CANCEL_STOP_DEVICE) Irp->IoStatus.Status = STATUS_SUCCESS;
  IoSkipCurrentIrpStackLocation(Irp);
  NTSTATUS Status = IoCallDriver(Lower, Irp);
  if (Minor == IRP_MN_REMOVE_DEVICE) {
    IoDetachDevice(Lower);
    IoDeleteDevice(DeviceObject);
  }
  return Status;
}

static NTSTATUS LeakyAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
  PDEVICE_OBJECT DeviceObject;
  RtlInitUnicodeString(&LeakyName, L"\\DosDevices\\LEAKYDEV");
  NTSTATUS Status = IoCreateDevice(DriverObject, sizeof(PDEVICE_OBJECT), &LeakyName, FILE_DEVICE_UNKNOWN,
                                   FILE_DEVICE_SECURE_OPEN, FALSE, &DeviceObject);
  if (!NT_SUCCESS(Status)) return Status;
  *(PDEVICE_OBJECT*)DeviceObject->DeviceExtension = IoAttachDeviceToDeviceStack(DeviceObject, PhysicalDeviceObject);
  DeviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
  Forgotten = ExAllocatePoolWithTag(NonPagedPool, 32, LEAKY_TAG);
  DbgPrint("leaky: %d bytes that unload forgets\r\n", 32);
  return STATUS_SUCCESS;
}

static void LeakyUnload(PDRIVER_OBJECT DriverObject) {
  PDEVICE_OBJECT DeviceObject = DriverObject->DeviceObject;
  if (DeviceObject != NULL) {
    IoDetachDevice(LeakyLower(DeviceObject));
    IoDeleteDevice(DeviceObject);
  }
}

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  UNREFERENCED_PARAMETER(RegistryPath);
  DriverObject->MajorFunction[IRP_MJ_CREATE] = LeakyComplete;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = LeakyComplete;
  DriverObject->MajorFunction[IRP_MJ_PNP] = LeakyPnp;
  DriverObject->DriverExtension->AddDevice = LeakyAddDevice;
  DriverObject->DriverUnload = LeakyUnload;
  return STATUS_SUCCESS;
}
