#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>

#include "commands.h"
#include "console.h"
#include "device_set.h"
#include "win32_error.h"

namespace pdinstall {

namespace {

// The usual device manager problem codes of a driver that does not start.
std::wstring problem_text(ULONG problem) {
  switch (problem) {
    case CM_PROB_NOT_CONFIGURED: return L"not configured (no driver installed)";
    case CM_PROB_FAILED_START: return L"the driver failed to start the device";
    case CM_PROB_DISABLED: return L"disabled";
    case CM_PROB_FAILED_INSTALL: return L"the driver installation failed";
    case CM_PROB_FAILED_ADD: return L"AddDevice failed";
    case CM_PROB_FAILED_DRIVER_ENTRY: return L"DriverEntry failed";
    case CM_PROB_DRIVER_FAILED_LOAD: return L"the driver could not be loaded";
    case CM_PROB_UNSIGNED_DRIVER: return L"Windows refused the driver's signature (is test signing on?)";
    case CM_PROB_NEED_RESTART: return L"needs a restart";
    default: return L"problem code " + std::to_wstring(problem);
  }
}

std::wstring state_of(DEVINST node) {
  ULONG status = 0;
  ULONG problem = 0;
  const CONFIGRET result = CM_Get_DevNode_Status(&status, &problem, node, 0);
  if (result == CR_NO_SUCH_DEVNODE || result == CR_NO_SUCH_DEVINST) return L"not present";
  if (result != CR_SUCCESS) return L"unknown (CM_Get_DevNode_Status returned " + std::to_wstring(result) + L")";
  if (status & DN_HAS_PROBLEM) return L"problem: " + problem_text(problem);
  if (status & DN_STARTED) return L"started";
  return L"present, not started";
}

}  // namespace

int status(const std::wstring& hwid) {
  const DeviceSet set = DeviceSet::all_devices();
  auto devices = devices_with_hardware_id(set, hwid);
  if (devices.empty()) {
    print(L"No device has hardware ID " + hwid + L".\n");
    return exit_status::no_device;
  }
  for (auto& device : devices) {
    print(instance_id(set, device) + L"\n");
    print(L"  description: " + string_property(set, device, SPDRP_DEVICEDESC).value_or(L"(none)") + L"\n");
    print(L"  service:     " + string_property(set, device, SPDRP_SERVICE).value_or(L"(none: no driver installed)") +
          L"\n");
    print(L"  state:       " + state_of(device.DevInst) + L"\n");
  }
  return exit_status::ok;
}

}  // namespace pdinstall
