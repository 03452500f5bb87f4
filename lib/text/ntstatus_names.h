// The one table of NTSTATUS names: ntsim names the statuses drivers return
// with it, pdctl reads statuses given by name and names results, the fuzz
// harness names what it expected and what came back. Each entry also holds
// the Win32 error RtlNtStatusToDosError gives for it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace pdkit::text {

struct StatusEntry {
  uint32_t value;
  std::string_view name;  // STATUS_...
  uint32_t win32;         // RtlNtStatusToDosError's result
};

// The entry of a status value; nullptr when the table has none.
const StatusEntry* findStatus(uint32_t value);
// The entry of a name, case-insensitive, with or without the STATUS_ prefix
// ("insufficient_resources"); nullptr when the table has none.
const StatusEntry* findStatusNamed(std::string_view name);
// STATUS_SUCCESS, or the value as 0xC0000001 when it has no name here.
std::string statusName(uint32_t value);

}  // namespace pdkit::text
