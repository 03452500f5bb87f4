// A SetupAPI device information set that is destroyed with its owner, and
// the device nodes in it that carry a given hardware ID.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <optional>
#include <string>
#include <vector>

namespace pdinstall {

class DeviceSet {
 public:
  explicit DeviceSet(HDEVINFO set) : set_(set) {}
  DeviceSet(const DeviceSet&) = delete;
  DeviceSet& operator=(const DeviceSet&) = delete;
  ~DeviceSet() {
    if (set_ != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set_);
  }
  HDEVINFO get() const { return set_; }

  // Every device node Windows knows, present or not.
  static DeviceSet all_devices();

 private:
  HDEVINFO set_;
};

// A string property of a device node, or nullopt when it has none.
std::optional<std::wstring> string_property(const DeviceSet& set, SP_DEVINFO_DATA& device, DWORD property);
// A REG_MULTI_SZ property (hardware IDs) as a list; empty when it has none.
std::vector<std::wstring> multi_string_property(const DeviceSet& set, SP_DEVINFO_DATA& device, DWORD property);
// The device instance ID, e.g. ROOT\SYSTEM\0001.
std::wstring instance_id(const DeviceSet& set, SP_DEVINFO_DATA& device);
// Whether the device's class installer asks for a restart.
bool needs_restart(const DeviceSet& set, SP_DEVINFO_DATA& device);

// The device nodes in `set` whose hardware IDs include `hwid` (case-insensitive).
std::vector<SP_DEVINFO_DATA> devices_with_hardware_id(const DeviceSet& set, const std::wstring& hwid);

}  // namespace pdinstall
