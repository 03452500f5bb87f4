// The Windows version the machine runs, as drivers ask for it, and which
// drivers Driver Verifier's code-integrity option applies to. A test sets an
// older version to run a driver as Windows XP would.
#include "state.h"

namespace ntsim {

void Machine::setWindowsVersion(const WindowsVersion& version) { state_->windows = version; }

WindowsVersion Machine::windowsVersion() const { return state_->windows; }

const Driver* MachineState::codeIntegrityChecked(const void* codeAddress) const {
  if (!windows.hasNoExecuteMemory()) return nullptr;
  const Driver* driver = ownerOf(codeAddress);
  return driver != nullptr && driver->ntddiVersion() >= NTDDI_WIN8 ? driver : nullptr;
}

}  // namespace ntsim

extern "C" {

NTSTATUS RtlGetVersion(PRTL_OSVERSIONINFOW lpVersionInformation) {
  auto& s = ntsim::M();
  if (lpVersionInformation == nullptr || lpVersionInformation->dwOSVersionInfoSize < sizeof(RTL_OSVERSIONINFOW)) {
    s.report("BAD_ARGUMENT", "RtlGetVersion without an RTL_OSVERSIONINFOW whose dwOSVersionInfoSize is its size");
    return STATUS_INVALID_PARAMETER;
  }
  ULONG size = lpVersionInformation->dwOSVersionInfoSize;
  std::memset(lpVersionInformation, 0, sizeof(RTL_OSVERSIONINFOW));
  lpVersionInformation->dwOSVersionInfoSize = size;
  lpVersionInformation->dwMajorVersion = s.windows.major;
  lpVersionInformation->dwMinorVersion = s.windows.minor;
  lpVersionInformation->dwBuildNumber = s.windows.build;
  lpVersionInformation->dwPlatformId = 2;  // VER_PLATFORM_WIN32_NT
  return STATUS_SUCCESS;
}

BOOLEAN PsGetVersion(PULONG MajorVersion, PULONG MinorVersion, PULONG BuildNumber, PUNICODE_STRING CSDVersion) {
  auto& s = ntsim::M();
  if (MajorVersion != nullptr) *MajorVersion = s.windows.major;
  if (MinorVersion != nullptr) *MinorVersion = s.windows.minor;
  if (BuildNumber != nullptr) *BuildNumber = s.windows.build;
  if (CSDVersion != nullptr) CSDVersion->Length = 0;
  return FALSE;  // a free build
}

}  // extern "C"
