// Reading the 64-byte reply of IOCTL_GET_CAPABILITY_TABLE (layout in
// sharefiles/pdioctl.h): field by field for --json, and line by line for
// the transcript, with the power states named.
#pragma once

#include "json.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace pdctl {

struct DecodedTable {
  uint8_t capabilitiesQueried = 0;
  uint32_t deviceD1 = 0, deviceD2 = 0;
  uint32_t wakeFromD0 = 0, wakeFromD1 = 0, wakeFromD2 = 0, wakeFromD3 = 0;
  int32_t systemWake = 0, deviceWake = 0;
  std::vector<int32_t> deviceState;  // one entry per system power state, 0 to 6
};

// nullopt when fewer bytes than a whole table came back.
std::optional<DecodedTable> decodeTable(std::span<const uint8_t> bytes);
Json tableJson(const DecodedTable& table);
std::vector<std::string> tableLines(const DecodedTable& table);
// The table on one line: "queried, D1 0, D2 0, WakeFromD0..D3 0 0 0 0, SystemWake 0, DeviceWake 0, DeviceState
// 0:1:4:4:4:4:4".
std::string tableSummary(const DecodedTable& table);

// "PowerSystemSleeping3 (S3)", "PowerDeviceD3", or the number when it has no name.
std::string systemStateText(uint32_t state);
std::string deviceStateText(uint32_t state);

}  // namespace pdctl
