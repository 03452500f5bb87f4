// probe: a tiny driver module that shows what the loader gave it. Its
// globals start at zero on every load; the exported probes read them.
#include <wdm.h>

#define PROBE_EXPORT extern "C" __attribute__((visibility("default")))

static int EntryCalls;
static int DefaultsSeen;

PROBE_EXPORT int ProbeEntryCalls(void) { return EntryCalls; }
PROBE_EXPORT int ProbeDefaultsSeen(void) { return DefaultsSeen; }
PROBE_EXPORT void ProbeBump(void) { ++EntryCalls; }

static void ProbeUnload(PDRIVER_OBJECT DriverObject) {
  UNREFERENCED_PARAMETER(DriverObject);
  DbgPrint("probe: unload after %d\r\n", EntryCalls);
}

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  UNREFERENCED_PARAMETER(RegistryPath);
  ++EntryCalls;
  // Every entry is the I/O manager's one default routine before the driver sets its own.
  DefaultsSeen = DriverObject->MajorFunction[0] != NULL;
  for (int Major = 1; Major <= IRP_MJ_MAXIMUM_FUNCTION; ++Major) {
    if (DriverObject->MajorFunction[Major] != DriverObject->MajorFunction[0]) DefaultsSeen = 0;
  }
  if (DriverObject->DriverUnload != NULL || DriverObject->DeviceObject != NULL ||
      DriverObject->DriverExtension == NULL || DriverObject->DriverExtension->AddDevice != NULL) {
    DefaultsSeen = 0;
  }
  DriverObject->DriverUnload = ProbeUnload;
  DbgPrint("probe: entry %d\r\n", EntryCalls);
  return STATUS_SUCCESS;
}
