#include "ntsim_inspect.h"

#include "module_symbols.h"

#include "sharefiles/common.h"

#include <cstring>

namespace pdctl {

DriverRecords readRecords(const ntsim::Machine& machine, PDEVICE_OBJECT device) {
  auto* extension = static_cast<PDEVICE_EXTENSION>(device->DeviceExtension);
  DriverRecords records;
  records.systemPowerState = static_cast<uint32_t>(extension->SystemPowerState);
  records.devicePowerState = static_cast<uint32_t>(extension->DevicePowerState);
  records.removeLockCount = machine.removeLockCount(&extension->RemoveLock);
  return records;
}

std::optional<std::array<uint8_t, 64>> readCapabilityTable(const ntsim::Driver& driver) {
  static_assert(sizeof(CAPABILITY_TABLE) == 64);
  if (!driver.loaded() || driver.object() == nullptr) return std::nullopt;
  auto address =
      findModuleSymbol(driver.path(), reinterpret_cast<const void*>(driver.object()->DriverInit), "CapabilityTable");
  if (!address) return std::nullopt;
  auto* table = *reinterpret_cast<PCAPABILITY_TABLE*>(*address);
  if (table == nullptr) return std::nullopt;
  std::array<uint8_t, 64> bytes;
  std::memcpy(bytes.data(), table, bytes.size());
  return bytes;
}

}  // namespace pdctl
