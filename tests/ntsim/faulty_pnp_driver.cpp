// faulty_pnp: a function driver that breaks one Plug and Play or power rule
// per mode, so that each lifecycle rule is seen to be reported. The test
// picks the mode through the exported FaultyPnpMode before AddDevice. Mode
// 0 is a well-behaved function driver, for contrast. Never a model for real
// drivers.
#include <wdm.h>

enum FaultyPnpModes {
  BEHAVE = 0,
  COMPLETE_UNHANDLED,     // finishes unknown PnP requests with success, and start without the bus
  KEEP_DEVICE_ON_REMOVE,  // passes the removal down but neither detaches nor deletes
  REMOVE_WITHOUT_WAIT,    // deletes the removed device without waiting on the remove lock
  POWER_IN_PLACE,         // finishes device set-power and wait-wake IRPs itself with success
  START_NEXT_WAIT_WAKE,   // calls PoStartNextPowerIrp for a wait-wake IRP
  REQUEST_UNSPECIFIED,    // asks PoRequestPowerIrp for PowerDeviceUnspecified on a device control
  STAY_INITIALIZING,      // leaves DO_DEVICE_INITIALIZING set in AddDevice
};

extern "C" {
__attribute__((visibility("default"))) int FaultyPnpMode = BEHAVE;
}

typedef struct _FAULTY_PNP_EXTENSION {
  PDEVICE_OBJECT Self;
  PDEVICE_OBJECT Lower;
  IO_REMOVE_LOCK Lock;
} FAULTY_PNP_EXTENSION, *PFAULTY_PNP_EXTENSION;

static NTSTATUS Complete(PIRP Irp, NTSTATUS Status) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

static NTSTATUS PassDown(PFAULTY_PNP_EXTENSION Ext, PIRP Irp) {
  IoSkipCurrentIrpStackLocation(Irp);
  return IoCallDriver(Ext->Lower, Irp);
}

static NTSTATUS Remove(PFAULTY_PNP_EXTENSION Ext, PIRP Irp) {
  if (FaultyPnpMode == REMOVE_WITHOUT_WAIT)
    IoReleaseRemoveLock(&Ext->Lock, Irp);
  else
    IoReleaseRemoveLockAndWait(&Ext->Lock, Irp);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  NTSTATUS Status = PassDown(Ext, Irp);
  if (FaultyPnpMode == KEEP_DEVICE_ON_REMOVE) return Status;
  IoDetachDevice(Ext->Lower);
  IoDeleteDevice(Ext->Self);
  return Status;
}

static NTSTATUS FaultyPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PFAULTY_PNP_EXTENSION Ext = (PFAULTY_PNP_EXTENSION)DeviceObject->DeviceExtension;
  UCHAR Minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
  NTSTATUS Status = IoAcquireRemoveLock(&Ext->Lock, Irp);
  if (!NT_SUCCESS(Status)) return Complete(Irp, Status);
  if (Minor == IRP_MN_REMOVE_DEVICE) return Remove(Ext, Irp);
  if (FaultyPnpMode == COMPLETE_UNHANDLED && (Minor == IRP_MN_START_DEVICE || Minor > IRP_MN_QUERY_CAPABILITIES)) {
    Status = Complete(Irp, STATUS_SUCCESS);
  } else {
    if (Minor <= IRP_MN_CANCEL_STOP_DEVICE || Minor == IRP_MN_SURPRISE_REMOVAL) Irp->IoStatus.Status = STATUS_SUCCESS;
    Status = PassDown(Ext, Irp);
  }
  IoReleaseRemoveLock(&Ext->Lock, Irp);
  return Status;
}

static NTSTATUS FaultyPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PFAULTY_PNP_EXTENSION Ext = (PFAULTY_PNP_EXTENSION)DeviceObject->DeviceExtension;
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  BOOLEAN Serialised = Stack->MinorFunction == IRP_MN_SET_POWER || Stack->MinorFunction == IRP_MN_QUERY_POWER;
  if (Serialised || FaultyPnpMode == START_NEXT_WAIT_WAKE) PoStartNextPowerIrp(Irp);
  if (FaultyPnpMode == POWER_IN_PLACE &&
      ((Stack->MinorFunction == IRP_MN_SET_POWER && Stack->Parameters.Power.Type == DevicePowerState) ||
       Stack->MinorFunction == IRP_MN_WAIT_WAKE)) {
    return Complete(Irp, STATUS_SUCCESS);
  }
  IoSkipCurrentIrpStackLocation(Irp);
  return PoCallDriver(Ext->Lower, Irp);
}

static NTSTATUS FaultyCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  return Complete(Irp, STATUS_SUCCESS);
}

static NTSTATUS FaultyDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (FaultyPnpMode == REQUEST_UNSPECIFIED) {
    POWER_STATE State;
    State.DeviceState = PowerDeviceUnspecified;
    NTSTATUS Status = PoRequestPowerIrp(DeviceObject, IRP_MN_SET_POWER, State, NULL, NULL, NULL);
    return Complete(Irp, Status);
  }
  return Complete(Irp, STATUS_SUCCESS);
}

static NTSTATUS FaultyAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
  UNICODE_STRING Name;
  PDEVICE_OBJECT DeviceObject;
  RtlInitUnicodeString(&Name, L"\\DosDevices\\FAULTYPNP");
  NTSTATUS Status =
      IoCreateDevice(DriverObject, sizeof(FAULTY_PNP_EXTENSION), &Name, FILE_DEVICE_UNKNOWN, 0, FALSE, &DeviceObject);
  if (!NT_SUCCESS(Status)) return Status;
  PFAULTY_PNP_EXTENSION Ext = (PFAULTY_PNP_EXTENSION)DeviceObject->DeviceExtension;
  Ext->Self = DeviceObject;
  IoInitializeRemoveLock(&Ext->Lock, 0x70754670 /* 'pFup' */, 0, 0);
  Ext->Lower = IoAttachDeviceToDeviceStack(DeviceObject, PhysicalDeviceObject);
  if (Ext->Lower == NULL) {
    IoDeleteDevice(DeviceObject);
    return STATUS_NO_SUCH_DEVICE;
  }
  if (FaultyPnpMode != STAY_INITIALIZING) DeviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

static void FaultyUnload(PDRIVER_OBJECT DriverObject) {
  // A PnP driver is unloaded only once its devices are gone; any left are taken down.
  while (DriverObject->DeviceObject != NULL) {
    PFAULTY_PNP_EXTENSION Ext = (PFAULTY_PNP_EXTENSION)DriverObject->DeviceObject->DeviceExtension;
    IoDetachDevice(Ext->Lower);
    IoDeleteDevice(Ext->Self);
  }
}

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  UNREFERENCED_PARAMETER(RegistryPath);
  DriverObject->MajorFunction[IRP_MJ_CREATE] = FaultyCreateClose;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = FaultyCreateClose;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = FaultyDeviceControl;
  DriverObject->MajorFunction[IRP_MJ_PNP] = FaultyPnp;
  DriverObject->MajorFunction[IRP_MJ_POWER] = FaultyPower;
  DriverObject->DriverExtension->AddDevice = FaultyAddDevice;
  DriverObject->DriverUnload = FaultyUnload;
  return STATUS_SUCCESS;
}
