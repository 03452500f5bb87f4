// failing_entry: a driver module whose DriverEntry fails after setting an
// Unload routine, which must then never be called.
#include <wdm.h>

static void FailingUnload(PDRIVER_OBJECT DriverObject) {
  UNREFERENCED_PARAMETER(DriverObject);
  DbgPrint("failing_entry: unload\r\n");
}

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  UNREFERENCED_PARAMETER(RegistryPath);
  DriverObject->DriverUnload = FailingUnload;
  DbgPrint("failing_entry: entry\r\n");
  return STATUS_INSUFFICIENT_RESOURCES;
}
