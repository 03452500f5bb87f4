#include <windows.h>
#include <setupapi.h>

#include "commands.h"
#include "console.h"
#include "device_set.h"
#include "win32_error.h"

namespace pdinstall {

int remove(const std::wstring& hwid) {
  const DeviceSet set = DeviceSet::all_devices();
  auto devices = devices_with_hardware_id(set, hwid);
  if (devices.empty()) {
    print_error(L"pdinstall: no device has hardware ID " + hwid + L"; nothing removed.\n");
    return exit_status::no_device;
  }
  bool restart = false;
  for (auto& device : devices) {
    const std::wstring instance = instance_id(set, device);
    check(SetupDiCallClassInstaller(DIF_REMOVE, set.get(), &device),
          (L"SetupDiCallClassInstaller(DIF_REMOVE) on " + instance).c_str());
    restart |= needs_restart(set, device);
    print(L"Removed " + instance + L".\n");
  }
  if (restart) print(L"Windows needs a restart to finish the removal.\n");
  return exit_status::ok;
}

}  // namespace pdinstall
