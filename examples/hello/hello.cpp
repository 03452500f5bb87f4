// hello: the smallest useful WDM driver. It creates \DosDevices\HELLODEV,
// lets programs open and close it, echoes METHOD_BUFFERED control requests
// back, and says hello on the debugger. Any driver module built this way
// loads on ntsim (pdctl --driver build/host/drivers/hello.so).
#include <wdm.h>

#define IOCTL_HELLO_ECHO CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS)

static UNICODE_STRING HelloName;

static NTSTATUS HelloComplete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = Information;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

static NTSTATUS HelloCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  return HelloComplete(Irp, STATUS_SUCCESS, 0);
}

static NTSTATUS HelloDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  if (Stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_HELLO_ECHO) {
    return HelloComplete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
  // The system buffer already holds the input; echoing it back is just a count.
  ULONG In = Stack->Parameters.DeviceIoControl.InputBufferLength;
  ULONG Out = Stack->Parameters.DeviceIoControl.OutputBufferLength;
  DbgPrint("hello: echo %u bytes\r\n", In < Out ? In : Out);
  return HelloComplete(Irp, STATUS_SUCCESS, In < Out ? In : Out);
}

static PDEVICE_OBJECT HelloLower(PDEVICE_OBJECT DeviceObject) {
  return *(PDEVICE_OBJECT*)DeviceObject->DeviceExtension;
}

// Plug and Play belongs to the bus driver below: every request goes down,
// those a function driver must succeed with success. The removal takes the
// device down after the bus has seen it. (A driver with requests of its own
// in flight would wait for them on a remove lock first.)
static NTSTATUS HelloPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_OBJECT Lower = HelloLower(DeviceObject);
  UCHAR Minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
  if (Minor <= IRP_MN_CANCEL_STOP_DEVICE || Minor == IRP_MN_SURPRISE_REMOVAL) Irp->IoStatus.Status = STATUS_SUCCESS;
  IoSkipCurrentIrpStackLocation(Irp);
  NTSTATUS Status = IoCallDriver(Lower, Irp);
  if (Minor == IRP_MN_REMOVE_DEVICE) {
    IoDetachDevice(Lower);
    IoDeleteDevice(DeviceObject);
  }
  return Status;
}

// Power is the bus driver's business too.
static NTSTATUS HelloPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UCHAR Minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
  if (Minor == IRP_MN_SET_POWER || Minor == IRP_MN_QUERY_POWER) PoStartNextPowerIrp(Irp);
  IoSkipCurrentIrpStackLocation(Irp);
  return PoCallDriver(HelloLower(DeviceObject), Irp);
}

static NTSTATUS HelloAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
  PDEVICE_OBJECT DeviceObject;
  RtlInitUnicodeString(&HelloName, L"\\DosDevices\\HELLODEV");
  NTSTATUS Status = IoCreateDevice(DriverObject, sizeof(PDEVICE_OBJECT), &HelloName, FILE_DEVICE_UNKNOWN,
                                   FILE_DEVICE_SECURE_OPEN, FALSE, &DeviceObject);
  if (!NT_SUCCESS(Status)) return Status;
  PDEVICE_OBJECT Lower = IoAttachDeviceToDeviceStack(DeviceObject, PhysicalDeviceObject);
  if (Lower == NULL) {
    IoDeleteDevice(DeviceObject);
    return STATUS_NO_SUCH_DEVICE;
  }
  *(PDEVICE_OBJECT*)DeviceObject->DeviceExtension = Lower;
  DeviceObject->Flags |= DO_BUFFERED_IO;
  DeviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
  DbgPrint("hello: device added\r\n");
  return STATUS_SUCCESS;
}

static void HelloUnload(PDRIVER_OBJECT DriverObject) {
  PDEVICE_OBJECT DeviceObject = DriverObject->DeviceObject;
  if (DeviceObject != NULL) {
    IoDetachDevice(HelloLower(DeviceObject));
    IoDeleteDevice(DeviceObject);
  }
  DbgPrint("hello: goodbye\r\n");
}

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  UNREFERENCED_PARAMETER(RegistryPath);
  DriverObject->MajorFunction[IRP_MJ_CREATE] = HelloCreateClose;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = HelloCreateClose;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = HelloDeviceControl;
  DriverObject->MajorFunction[IRP_MJ_PNP] = HelloPnp;
  DriverObject->MajorFunction[IRP_MJ_POWER] = HelloPower;
  DriverObject->DriverExtension->AddDevice = HelloAddDevice;
  DriverObject->DriverUnload = HelloUnload;
  DbgPrint("hello: DriverEntry\r\n");
  return STATUS_SUCCESS;
}
