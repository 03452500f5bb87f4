// contract: a driver that leans on what the I/O manager does around
// DriverEntry. It makes its device there and never clears
// DO_DEVICE_INITIALIZING, names it in \Device and reaches programs through
// a symbolic link, leaves IRP_MJ_READ empty, and records the names it was given.
// On request it leaves a timer set, for the unload check.
#include <wdm.h>

#define CONTRACT_EXPORT extern "C" __attribute__((visibility("default")))

static WCHAR RegistryCopy[128];
static WCHAR DatabaseCopy[128];
static NTSTATUS MissingDirectoryStatus;

CONTRACT_EXPORT const WCHAR* ContractRegistryPath(void) { return RegistryCopy; }
CONTRACT_EXPORT const WCHAR* ContractHardwareDatabase(void) { return DatabaseCopy; }
CONTRACT_EXPORT NTSTATUS ContractMissingDirectoryStatus(void) { return MissingDirectoryStatus; }

/* A timer left set at unload: a minute away, with a DPC in this module. */
static KTIMER LeftTimer;
static KDPC LeftDpc;
static void LeftDpcRoutine(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2) {
  UNREFERENCED_PARAMETER(Dpc);
  UNREFERENCED_PARAMETER(Context);
  UNREFERENCED_PARAMETER(Argument1);
  UNREFERENCED_PARAMETER(Argument2);
}
CONTRACT_EXPORT void ContractLeaveTimerSet(void) {
  LARGE_INTEGER Due;
  Due.QuadPart = -600000000LL;
  KeInitializeTimer(&LeftTimer);
  KeInitializeDpc(&LeftDpc, LeftDpcRoutine, NULL);
  KeSetTimer(&LeftTimer, Due, &LeftDpc);
}

static void CopyName(WCHAR* Target, PCUNICODE_STRING Source) {
  if (Source == NULL || Source->Length >= 127 * sizeof(WCHAR)) return;
  RtlCopyMemory(Target, Source->Buffer, Source->Length);
  Target[Source->Length / sizeof(WCHAR)] = UNICODE_NULL;
}

static NTSTATUS ContractCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

static void ContractUnload(PDRIVER_OBJECT DriverObject) {
  UNICODE_STRING Link = RTL_CONSTANT_STRING(L"\\DosDevices\\CONTRACT");
  IoDeleteSymbolicLink(&Link);
  IoDeleteDevice(DriverObject->DeviceObject);
}

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  CopyName(RegistryCopy, RegistryPath);
  CopyName(DatabaseCopy, DriverObject->HardwareDatabase);
  UNICODE_STRING Missing = RTL_CONSTANT_STRING(L"\\Device1\\CONTRACT");
  PDEVICE_OBJECT Device = NULL;
  MissingDirectoryStatus = IoCreateDevice(DriverObject, 0, &Missing, FILE_DEVICE_UNKNOWN, 0, FALSE, &Device);

  UNICODE_STRING Name = RTL_CONSTANT_STRING(L"\\Device\\CONTRACT0");
  NTSTATUS Status = IoCreateDevice(DriverObject, 0, &Name, FILE_DEVICE_UNKNOWN, 0, FALSE, &Device);
  if (!NT_SUCCESS(Status)) return Status;
  UNICODE_STRING Link = RTL_CONSTANT_STRING(L"\\DosDevices\\CONTRACT");
  Status = IoCreateSymbolicLink(&Link, &Name);
  if (!NT_SUCCESS(Status)) {
    IoDeleteDevice(Device);
    return Status;
  }
  Device->Flags |= DO_BUFFERED_IO;
  DriverObject->MajorFunction[IRP_MJ_CREATE] = ContractCreateClose;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = ContractCreateClose;
  DriverObject->MajorFunction[IRP_MJ_READ] = NULL;
  DriverObject->DriverUnload = ContractUnload;
  return STATUS_SUCCESS;
}
