#include "capability_table.h"

#include "numbers.h"

#include "sharefiles/pdioctl.h"

#include <cstddef>

namespace pdctl {
namespace {

uint32_t le32(std::span<const uint8_t> bytes, size_t offset) {
  return static_cast<uint32_t>(bytes[offset]) | static_cast<uint32_t>(bytes[offset + 1]) << 8 |
         static_cast<uint32_t>(bytes[offset + 2]) << 16 | static_cast<uint32_t>(bytes[offset + 3]) << 24;
}

std::string padded(std::string text, size_t width) {
  if (text.size() < width) text.append(width - text.size(), ' ');
  return text;
}

}  // namespace

std::string systemStateText(uint32_t state) {
  auto name = nameOf(state, systemStates());
  if (name.empty()) return "(out of range)";
  std::string text(name);
  if (state >= 1 && state <= 6) text += " (S" + std::to_string(state - 1) + ")";
  return text;
}

std::string deviceStateText(uint32_t state) {
  auto name = nameOf(state, deviceStates());
  return name.empty() ? "(out of range)" : std::string(name);
}

std::optional<DecodedTable> decodeTable(std::span<const uint8_t> bytes) {
  if (bytes.size() < sizeof(CAPABILITY_TABLE)) return std::nullopt;
  DecodedTable table;
  table.capabilitiesQueried = bytes[offsetof(CAPABILITY_TABLE, CapabilitiesQueried)];
  table.deviceD1 = le32(bytes, offsetof(CAPABILITY_TABLE, DeviceD1));
  table.deviceD2 = le32(bytes, offsetof(CAPABILITY_TABLE, DeviceD2));
  table.wakeFromD0 = le32(bytes, offsetof(CAPABILITY_TABLE, WakeFromD0));
  table.wakeFromD1 = le32(bytes, offsetof(CAPABILITY_TABLE, WakeFromD1));
  table.wakeFromD2 = le32(bytes, offsetof(CAPABILITY_TABLE, WakeFromD2));
  table.wakeFromD3 = le32(bytes, offsetof(CAPABILITY_TABLE, WakeFromD3));
  table.systemWake = static_cast<int32_t>(le32(bytes, offsetof(CAPABILITY_TABLE, SystemWake)));
  table.deviceWake = static_cast<int32_t>(le32(bytes, offsetof(CAPABILITY_TABLE, DeviceWake)));
  for (size_t i = 0; i < CAPABILITY_SYSTEM_STATES; ++i) {
    table.deviceState.push_back(static_cast<int32_t>(le32(bytes, offsetof(CAPABILITY_TABLE, DeviceState) + 4 * i)));
  }
  return table;
}

Json tableJson(const DecodedTable& table) {
  Json::Array states;
  for (int32_t state : table.deviceState) states.emplace_back(state);
  return Json::Object{
      {"CapabilitiesQueried", table.capabilitiesQueried},
      {"DeviceD1", table.deviceD1},
      {"DeviceD2", table.deviceD2},
      {"WakeFromD0", table.wakeFromD0},
      {"WakeFromD1", table.wakeFromD1},
      {"WakeFromD2", table.wakeFromD2},
      {"WakeFromD3", table.wakeFromD3},
      {"SystemWake", table.systemWake},
      {"DeviceWake", table.deviceWake},
      {"DeviceState", std::move(states)},
  };
}

std::vector<std::string> tableLines(const DecodedTable& table) {
  auto flag = [](const char* name, uint32_t value) { return std::string(name) + " " + std::to_string(value); };
  std::vector<std::string> lines;
  lines.push_back("CapabilitiesQueried " + std::to_string(table.capabilitiesQueried) +
                  (table.capabilitiesQueried != 0 ? " (filled from the bus's report)" : " (never filled)"));
  lines.push_back(flag("DeviceD1", table.deviceD1) + "  " + flag("DeviceD2", table.deviceD2));
  lines.push_back(flag("WakeFromD0", table.wakeFromD0) + "  " + flag("WakeFromD1", table.wakeFromD1) + "  " +
                  flag("WakeFromD2", table.wakeFromD2) + "  " + flag("WakeFromD3", table.wakeFromD3));
  lines.push_back("SystemWake " + std::to_string(table.systemWake) + " " +
                  systemStateText(static_cast<uint32_t>(table.systemWake)));
  lines.push_back("DeviceWake " + std::to_string(table.deviceWake) + " " +
                  deviceStateText(static_cast<uint32_t>(table.deviceWake)));
  lines.push_back("DeviceState (the device state for each system state):");
  for (size_t i = 0; i < table.deviceState.size(); ++i) {
    lines.push_back("  [" + std::to_string(i) + "] " + padded(systemStateText(static_cast<uint32_t>(i)), 25) + " -> " +
                    std::to_string(table.deviceState[i]) + " " +
                    deviceStateText(static_cast<uint32_t>(table.deviceState[i])));
  }
  return lines;
}

std::string tableSummary(const DecodedTable& table) {
  std::string states;
  for (size_t i = 0; i < table.deviceState.size(); ++i) {
    states += (i == 0 ? "" : ":") + std::to_string(table.deviceState[i]);
  }
  return std::string(table.capabilitiesQueried != 0 ? "queried" : "never queried") + ", D1 " +
         std::to_string(table.deviceD1) + ", D2 " + std::to_string(table.deviceD2) + ", WakeFromD0..D3 " +
         std::to_string(table.wakeFromD0) + " " + std::to_string(table.wakeFromD1) + " " +
         std::to_string(table.wakeFromD2) + " " + std::to_string(table.wakeFromD3) + ", SystemWake " +
         std::to_string(table.systemWake) + ", DeviceWake " + std::to_string(table.deviceWake) + ", DeviceState " +
         states;
}

}  // namespace pdctl
