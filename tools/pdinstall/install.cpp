#include <windows.h>
#include <cfgmgr32.h>
#include <newdev.h>
#include <setupapi.h>

#include <vector>

#include "commands.h"
#include "console.h"
#include "device_set.h"
#include "win32_error.h"

namespace pdinstall {

namespace {

std::wstring full_path(const std::wstring& path) {
  const DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (size == 0) throw Win32Error(L"GetFullPathName(" + path + L")", GetLastError());
  std::wstring full(size, L'\0');
  const DWORD length = GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
  if (length == 0 || length >= size) throw Win32Error(L"GetFullPathName(" + path + L")", GetLastError());
  full.resize(length);
  return full;
}

// Installs the best driver in `inf` on every device with `hwid`.
bool update_driver(const std::wstring& inf, const std::wstring& hwid) {
  BOOL restart = FALSE;
  if (!UpdateDriverForPlugAndPlayDevicesW(nullptr, hwid.c_str(), inf.c_str(), INSTALLFLAG_FORCE, &restart)) {
    throw Win32Error(L"UpdateDriverForPlugAndPlayDevices(" + hwid + L", " + inf + L")", GetLastError());
  }
  return restart != FALSE;
}

void report_restart(bool restart) {
  if (restart) print(L"Windows needs a restart to finish the installation.\n");
}

}  // namespace

int install(const std::wstring& inf_argument, const std::wstring& hwid) {
  const std::wstring inf = full_path(inf_argument);
  if (GetFileAttributesW(inf.c_str()) == INVALID_FILE_ATTRIBUTES) {
    throw Win32Error(L"opening " + inf, GetLastError());
  }

  {
    const DeviceSet existing = DeviceSet::all_devices();
    auto devices = devices_with_hardware_id(existing, hwid);
    if (!devices.empty()) {
      print(L"A device with hardware ID " + hwid + L" exists already (" + instance_id(existing, devices[0]) +
            L"); updating its driver from " + inf + L".\n");
      report_restart(update_driver(inf, hwid));
      return exit_status::ok;
    }
  }

  GUID class_guid;
  wchar_t class_name[MAX_CLASS_NAME_LEN];
  check(SetupDiGetINFClassW(inf.c_str(), &class_guid, class_name, MAX_CLASS_NAME_LEN, nullptr),
        (L"SetupDiGetINFClass(" + inf + L")").c_str());

  const HDEVINFO handle = SetupDiCreateDeviceInfoList(&class_guid, nullptr);
  if (handle == INVALID_HANDLE_VALUE) throw Win32Error(L"SetupDiCreateDeviceInfoList", GetLastError());
  const DeviceSet set(handle);
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof(device);
  check(SetupDiCreateDeviceInfoW(set.get(), class_name, &class_guid, nullptr, nullptr, DICD_GENERATE_ID, &device),
        L"SetupDiCreateDeviceInfo");

  // REG_MULTI_SZ: the ID, its terminator and the list's terminator.
  std::vector<wchar_t> ids(hwid.begin(), hwid.end());
  ids.push_back(L'\0');
  ids.push_back(L'\0');
  check(
      SetupDiSetDeviceRegistryPropertyW(set.get(), &device, SPDRP_HARDWAREID, reinterpret_cast<const BYTE*>(ids.data()),
                                        static_cast<DWORD>(ids.size() * sizeof(wchar_t))),
      L"SetupDiSetDeviceRegistryProperty(SPDRP_HARDWAREID)");

  check(SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set.get(), &device),
        L"SetupDiCallClassInstaller(DIF_REGISTERDEVICE)");
  const std::wstring instance = instance_id(set, device);

  bool restart = false;
  try {
    restart = update_driver(inf, hwid);
  } catch (const Win32Error&) {
    // Leave no driverless device node behind.
    SetupDiCallClassInstaller(DIF_REMOVE, set.get(), &device);
    throw;
  }
  print(L"Installed " + hwid + L" as " + instance + L" from " + inf + L".\n");
  report_restart(restart);
  return exit_status::ok;
}

}  // namespace pdinstall
