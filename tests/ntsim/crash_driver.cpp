// crash: a driver with the faults that stop Windows, one per control code:
// a NULL read at PASSIVE_LEVEL, a NULL write at DISPATCH_LEVEL, a division
// by zero and an illegal instruction, each after a debugger line.
#include <wdm.h>

#define CRASH_CODE(n) CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800 + (n), METHOD_BUFFERED, FILE_ANY_ACCESS)

static volatile LONG Divisor;
static PDEVICE_OBJECT CrashDevice;

static NTSTATUS CrashCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

static __attribute__((noinline)) NTSTATUS CrashDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  ULONG Code = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode;
  volatile LONG* Nowhere = (volatile LONG*)(ULONG_PTR)Divisor;
  KIRQL OldIrql;
  DbgPrint("crash: control %x\r\n", Code);
  switch (Code) {
    case CRASH_CODE(1): Irp->IoStatus.Information = (ULONG_PTR)*Nowhere; break;
    case CRASH_CODE(2):
      KeRaiseIrql(DISPATCH_LEVEL, &OldIrql);
      *Nowhere = 1;
      KeLowerIrql(OldIrql);
      break;
    case CRASH_CODE(3): Irp->IoStatus.Information = (ULONG_PTR)(100 / Divisor); break;
    case CRASH_CODE(4): __builtin_trap();
  }
  Irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

static void CrashUnload(PDRIVER_OBJECT DriverObject) {
  UNREFERENCED_PARAMETER(DriverObject);
  IoDeleteDevice(CrashDevice);
}

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  UNREFERENCED_PARAMETER(RegistryPath);
  UNICODE_STRING Name = RTL_CONSTANT_STRING(L"\\DosDevices\\CRASH");
  NTSTATUS Status = IoCreateDevice(DriverObject, 0, &Name, FILE_DEVICE_UNKNOWN, 0, FALSE, &CrashDevice);
  if (!NT_SUCCESS(Status)) return Status;
  CrashDevice->Flags |= DO_BUFFERED_IO;
  DriverObject->MajorFunction[IRP_MJ_CREATE] = CrashCreateClose;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = CrashCreateClose;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = CrashDeviceControl;
  DriverObject->DriverUnload = CrashUnload;
  return STATUS_SUCCESS;
}
