#include "device_set.h"

#include <cwchar>

#include "win32_error.h"

namespace pdinstall {

DeviceSet DeviceSet::all_devices() {
  const HDEVINFO set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
  if (set == INVALID_HANDLE_VALUE) throw Win32Error(L"SetupDiGetClassDevs(DIGCF_ALLCLASSES)", GetLastError());
  return DeviceSet(set);
}

namespace {

// The raw bytes of a registry property; empty when the device lacks it.
std::vector<BYTE> property_bytes(const DeviceSet& set, SP_DEVINFO_DATA& device, DWORD property) {
  DWORD type = 0;
  DWORD size = 0;
  SetupDiGetDeviceRegistryPropertyW(set.get(), &device, property, &type, nullptr, 0, &size);
  const DWORD error = GetLastError();
  if (size == 0) {
    if (error == ERROR_INVALID_DATA || error == ERROR_NO_SUCH_DEVINST) return {};
    throw Win32Error(L"SetupDiGetDeviceRegistryProperty", error);
  }
  std::vector<BYTE> bytes(size + 2 * sizeof(wchar_t), 0);  // room for terminators a driver may have omitted
  if (!SetupDiGetDeviceRegistryPropertyW(set.get(), &device, property, &type, bytes.data(), size, &size)) {
    throw Win32Error(L"SetupDiGetDeviceRegistryProperty", GetLastError());
  }
  return bytes;
}

}  // namespace

std::optional<std::wstring> string_property(const DeviceSet& set, SP_DEVINFO_DATA& device, DWORD property) {
  const auto bytes = property_bytes(set, device, property);
  if (bytes.empty()) return std::nullopt;
  return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()));
}

std::vector<std::wstring> multi_string_property(const DeviceSet& set, SP_DEVINFO_DATA& device, DWORD property) {
  const auto bytes = property_bytes(set, device, property);
  std::vector<std::wstring> strings;
  const auto* p = reinterpret_cast<const wchar_t*>(bytes.data());
  const auto* end = p + bytes.size() / sizeof(wchar_t);
  while (p < end && *p != L'\0') {
    std::wstring s(p);
    p += s.size() + 1;
    strings.push_back(std::move(s));
  }
  return strings;
}

std::wstring instance_id(const DeviceSet& set, SP_DEVINFO_DATA& device) {
  DWORD size = 0;
  SetupDiGetDeviceInstanceIdW(set.get(), &device, nullptr, 0, &size);
  std::wstring id(size, L'\0');
  check(SetupDiGetDeviceInstanceIdW(set.get(), &device, id.data(), size, &size), L"SetupDiGetDeviceInstanceId");
  id.resize(wcslen(id.c_str()));
  return id;
}

bool needs_restart(const DeviceSet& set, SP_DEVINFO_DATA& device) {
  SP_DEVINSTALL_PARAMS_W params{};
  params.cbSize = sizeof(params);
  if (!SetupDiGetDeviceInstallParamsW(set.get(), &device, &params)) return false;
  return (params.Flags & (DI_NEEDREBOOT | DI_NEEDRESTART)) != 0;
}

std::vector<SP_DEVINFO_DATA> devices_with_hardware_id(const DeviceSet& set, const std::wstring& hwid) {
  std::vector<SP_DEVINFO_DATA> found;
  for (DWORD index = 0;; ++index) {
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    if (!SetupDiEnumDeviceInfo(set.get(), index, &device)) {
      const DWORD error = GetLastError();
      if (error == ERROR_NO_MORE_ITEMS) break;
      throw Win32Error(L"SetupDiEnumDeviceInfo", error);
    }
    for (const auto& id : multi_string_property(set, device, SPDRP_HARDWAREID)) {
      if (_wcsicmp(id.c_str(), hwid.c_str()) == 0) {
        found.push_back(device);
        break;
      }
    }
  }
  return found;
}

}  // namespace pdinstall
