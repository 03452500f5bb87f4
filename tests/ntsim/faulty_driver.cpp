// faulty: a driver that breaks one verifier rule per control code, so that
// every rule is seen to be reported. Never a model for real drivers.
#include <wdm.h>

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  UNREFERENCED_PARAMETER(DriverObject);
  UNREFERENCED_PARAMETER(RegistryPath);
  return STATUS_SUCCESS;
}
