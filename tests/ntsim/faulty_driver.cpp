// faulty: a driver that breaks one verifier rule per control code, so that
// every rule is seen to be reported. Never a model for real drivers.
//
// Besides the control codes (faulty_codes.h):
// - IRP_MN_QUERY_PNP_DEVICE_STATE is passed down with a completion routine
//   that does not mark the IRP pending when the bus pended it;
// - IRP_MN_QUERY_POWER is passed down with IoCallDriver, not PoCallDriver.
// Built twice: `faulty` declares no Windows version; `faulty_win8` is built
// for Windows 8, so that its executable pool and mappings are reported.
#include <wdm.h>

#include "faulty_codes.h"

#define FAULTY_TAG 0x746c7546 /* 'Fult' */

typedef struct _FAULTY_EXTENSION {
  PDEVICE_OBJECT Lower;
  IO_REMOVE_LOCK Lock;
  IO_REMOVE_LOCK Spare;
} FAULTY_EXTENSION, *PFAULTY_EXTENSION;

static PDEVICE_OBJECT MainDevice;
static PIRP HeldIrp;
static PVOID Leaked;
static UCHAR MappedBytes[16];

static void Name(PVOID Address) { DbgPrint("faulty: %p\r\n", Address); }

static NTSTATUS Complete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = Information;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

static NTSTATUS FaultyCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  return Complete(Irp, STATUS_SUCCESS, 0);
}

static NTSTATUS FaultyDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PFAULTY_EXTENSION Ext = (PFAULTY_EXTENSION)DeviceObject->DeviceExtension;
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  ULONG Code = Stack->Parameters.DeviceIoControl.IoControlCode;
  switch (Code) {
    case FAULTY_CODE(FAULTY_COMPLETE_TWICE):
      Name(Irp);
      Irp->IoStatus.Status = STATUS_SUCCESS;
      Irp->IoStatus.Information = 0;
      IoCompleteRequest(Irp, IO_NO_INCREMENT);
      IoCompleteRequest(Irp, IO_NO_INCREMENT);
      return STATUS_SUCCESS;
    case FAULTY_CODE(FAULTY_PENDING_NOT_MARKED):
      Name(Irp);
      Complete(Irp, STATUS_SUCCESS, 0);
      return STATUS_PENDING;
    case FAULTY_CODE(FAULTY_MARKED_NOT_RETURNED):
      Name(Irp);
      IoMarkIrpPending(Irp);
      return Complete(Irp, STATUS_SUCCESS, 0);
    case FAULTY_CODE(FAULTY_STATUS_MISMATCH):
      Name(Irp);
      Complete(Irp, STATUS_SUCCESS, 0);
      return STATUS_UNSUCCESSFUL;
    case FAULTY_CODE(FAULTY_COMPLETE_WITH_PENDING):
      Name(Irp);
      IoMarkIrpPending(Irp);
      Complete(Irp, STATUS_PENDING, 0);
      return STATUS_PENDING;
    case FAULTY_CODE(FAULTY_NO_MORE_STACK_LOCATIONS): {
      Name(Irp);
      // Takes the lower driver's location for itself, then passes the IRP on.
      IoCopyCurrentIrpStackLocationToNext(Irp);
      IoSetNextIrpStackLocation(Irp);
      NTSTATUS Status = IoCallDriver(Ext->Lower, Irp);
      DbgPrint("faulty: IoCallDriver returned %x\r\n", Status);
      IoSkipCurrentIrpStackLocation(Irp);
      return Complete(Irp, STATUS_SUCCESS, 0);
    }
    case FAULTY_CODE(FAULTY_INFORMATION_EXCEEDS_BUFFER):
      Name(Irp);
      RtlFillMemory(Irp->AssociatedIrp.SystemBuffer, Stack->Parameters.DeviceIoControl.OutputBufferLength, 'x');
      return Complete(Irp, STATUS_SUCCESS, Stack->Parameters.DeviceIoControl.OutputBufferLength + 16);
    case FAULTY_CODE(FAULTY_RELEASE_UNKNOWN_TAG):
      Name(&Ext->Lock);
      IoAcquireRemoveLock(&Ext->Lock, Irp);
      IoReleaseRemoveLock(&Ext->Lock, (PVOID)0xBAD0);
      IoReleaseRemoveLock(&Ext->Lock, Irp);
      return Complete(Irp, STATUS_SUCCESS, 0);
    case FAULTY_CODE(FAULTY_REMOVE_LOCK_BAD_SIZE):
      Name(&Ext->Lock);
      IoAcquireRemoveLockEx(&Ext->Lock, Irp, __FILE__, __LINE__, sizeof(IO_REMOVE_LOCK) + 4);
      IoReleaseRemoveLock(&Ext->Lock, Irp);
      return Complete(Irp, STATUS_SUCCESS, 0);
    case FAULTY_CODE(FAULTY_REMOVE_LOCK_INITIALISED_TWICE):
      Name(&Ext->Spare);
      IoInitializeRemoveLock(&Ext->Spare, FAULTY_TAG, 0, 0);
      return Complete(Irp, STATUS_SUCCESS, 0);
    case FAULTY_CODE(FAULTY_HOLD_REMOVE_LOCK):
      Name(&Ext->Lock);
      IoAcquireRemoveLock(&Ext->Lock, (PVOID)0x401D);
      return Complete(Irp, STATUS_SUCCESS, 0);
    case FAULTY_CODE(FAULTY_LEAK_POOL):
      Leaked = ExAllocatePoolWithTag(NonPagedPool, 24, FAULTY_TAG);
      Name(Leaked);
      return Complete(Irp, Leaked != NULL ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES, 0);
    case FAULTY_CODE(FAULTY_FREE_POOL_TWICE): {
      PVOID Block = ExAllocatePoolWithTag(NonPagedPool, 8, FAULTY_TAG);
      Name(Block);
      ExFreePoolWithTag(Block, FAULTY_TAG);
      ExFreePoolWithTag(Block, FAULTY_TAG);
      return Complete(Irp, STATUS_SUCCESS, 0);
    }
    case FAULTY_CODE(FAULTY_WAIT_AT_DISPATCH): {
      KEVENT Event;
      KIRQL OldIrql;
      KeInitializeEvent(&Event, NotificationEvent, TRUE);
      Name(&Event);
      KeRaiseIrql(DISPATCH_LEVEL, &OldIrql);
      KeWaitForSingleObject(&Event, Executive, KernelMode, FALSE, NULL);
      KeLowerIrql(OldIrql);
      return Complete(Irp, STATUS_SUCCESS, 0);
    }
    case FAULTY_CODE(FAULTY_NEVER_COMPLETE):
      Name(Irp);
      IoMarkIrpPending(Irp);
      HeldIrp = Irp;
      return STATUS_PENDING;
    case FAULTY_CODE(FAULTY_COMPLETE_HELD):
      if (HeldIrp != NULL) {
        Complete(HeldIrp, STATUS_SUCCESS, 0);
        HeldIrp = NULL;
      }
      return Complete(Irp, STATUS_SUCCESS, 0);
    case FAULTY_CODE(FAULTY_LEAVE_DEVICE): {
      PDEVICE_OBJECT Extra;
      NTSTATUS Status = IoCreateDevice(DeviceObject->DriverObject, 0, NULL, FILE_DEVICE_UNKNOWN, 0, FALSE, &Extra);
      if (NT_SUCCESS(Status)) {
        Extra->Flags &= ~DO_DEVICE_INITIALIZING;
        Name(Extra);
      }
      return Complete(Irp, Status, 0);
    }
    case FAULTY_CODE(FAULTY_BEHAVE): return Complete(Irp, STATUS_SUCCESS, 0);
    case FAULTY_CODE(FAULTY_EXECUTABLE_POOL): {
      PVOID Block = ExAllocatePoolWithTag(NonPagedPool, 16, FAULTY_TAG);
      Name(Block);
      if (Block != NULL) ExFreePoolWithTag(Block, FAULTY_TAG);
      return Complete(Irp, STATUS_SUCCESS, 0);
    }
    case FAULTY_CODE(FAULTY_EXECUTABLE_MAPPING): {
      PMDL Mdl = IoAllocateMdl(MappedBytes, sizeof(MappedBytes), FALSE, FALSE, NULL);
      if (Mdl == NULL) return Complete(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
      Name(Mdl);
      MmBuildMdlForNonPagedPool(Mdl);
      PVOID Address = MmMapLockedPagesSpecifyCache(Mdl, KernelMode, MmCached, NULL, FALSE, NormalPagePriority);
      if (Address != NULL) MmUnmapLockedPages(Address, Mdl);
      IoFreeMdl(Mdl);
      return Complete(Irp, STATUS_SUCCESS, 0);
    }
    default: return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

static NTSTATUS ForgetPending(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Irp);
  UNREFERENCED_PARAMETER(Context);
  return STATUS_SUCCESS;  // no IoMarkIrpPending although Irp->PendingReturned may be set
}

static NTSTATUS FaultyPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PFAULTY_EXTENSION Ext = (PFAULTY_EXTENSION)DeviceObject->DeviceExtension;
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  if (Stack->MinorFunction == IRP_MN_QUERY_PNP_DEVICE_STATE) {
    Name(Irp);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, ForgetPending, NULL, TRUE, TRUE, TRUE);
    return IoCallDriver(Ext->Lower, Irp);
  }
  IoSkipCurrentIrpStackLocation(Irp);
  return IoCallDriver(Ext->Lower, Irp);
}

static NTSTATUS FaultyPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PFAULTY_EXTENSION Ext = (PFAULTY_EXTENSION)DeviceObject->DeviceExtension;
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  PoStartNextPowerIrp(Irp);
  IoSkipCurrentIrpStackLocation(Irp);
  if (Stack->MinorFunction == IRP_MN_QUERY_POWER) {
    Name(Irp);
    return IoCallDriver(Ext->Lower, Irp);
  }
  return PoCallDriver(Ext->Lower, Irp);
}

static NTSTATUS FaultyAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
  UNICODE_STRING Name;
  PDEVICE_OBJECT DeviceObject;
  RtlInitUnicodeString(&Name, L"\\DosDevices\\FAULTY");
  NTSTATUS Status = IoCreateDevice(DriverObject, sizeof(FAULTY_EXTENSION), &Name, FILE_DEVICE_UNKNOWN,
                                   FILE_DEVICE_SECURE_OPEN, FALSE, &DeviceObject);
  if (!NT_SUCCESS(Status)) return Status;
  PFAULTY_EXTENSION Ext = (PFAULTY_EXTENSION)DeviceObject->DeviceExtension;
  IoInitializeRemoveLock(&Ext->Lock, FAULTY_TAG, 0, 0);
  IoInitializeRemoveLock(&Ext->Spare, FAULTY_TAG, 0, 0);
  Ext->Lower = IoAttachDeviceToDeviceStack(DeviceObject, PhysicalDeviceObject);
  if (Ext->Lower == NULL) {
    IoDeleteDevice(DeviceObject);
    return STATUS_NO_SUCH_DEVICE;
  }
  MainDevice = DeviceObject;
  DeviceObject->Flags |= DO_BUFFERED_IO;
  DeviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

static void FaultyUnload(PDRIVER_OBJECT DriverObject) {
  UNREFERENCED_PARAMETER(DriverObject);
  if (MainDevice != NULL) {
    PFAULTY_EXTENSION Ext = (PFAULTY_EXTENSION)MainDevice->DeviceExtension;
    IoDetachDevice(Ext->Lower);
    IoDeleteDevice(MainDevice);
    MainDevice = NULL;
  }
}

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  UNREFERENCED_PARAMETER(RegistryPath);
  DriverObject->MajorFunction[IRP_MJ_CREATE] = FaultyCreateClose;
  DriverObject->MajorFunction[IRP_MJ_CLEANUP] = FaultyCreateClose;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = FaultyCreateClose;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = FaultyDeviceControl;
  DriverObject->MajorFunction[IRP_MJ_PNP] = FaultyPnp;
  DriverObject->MajorFunction[IRP_MJ_POWER] = FaultyPower;
  DriverObject->DriverExtension->AddDevice = FaultyAddDevice;
  DriverObject->DriverUnload = FaultyUnload;
  return STATUS_SUCCESS;
}
