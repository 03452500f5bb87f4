// Reading what one of our drivers records about its device, as a debugger
// reads it: the DEVICE_EXTENSION through the shared header's layout, and the
// driver-wide capability table through the module's CapabilityTable symbol.
#pragma once

#include <ntsim/ntsim.h>

#include <array>
#include <cstdint>
#include <optional>

namespace pdctl {

struct DriverRecords {
  uint32_t systemPowerState = 0;
  uint32_t devicePowerState = 0;
  int32_t removeLockCount = 0;
};

// `device` is the driver's own device object (one of ours: its extension is a DEVICE_EXTENSION).
DriverRecords readRecords(const ntsim::Machine& machine, PDEVICE_OBJECT device);
// The 64 bytes of the table, or nullopt when the module has no such symbol or no table.
std::optional<std::array<uint8_t, 64>> readCapabilityTable(const ntsim::Driver& driver);

}  // namespace pdctl
