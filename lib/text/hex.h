// Numbers in hex, as pdkit's messages and outputs write them: addresses and
// codes as short as they are, 32-bit values (statuses, control codes) at
// full width, bytes as two digits in dumps and \xNN escapes.
#pragma once

#include <cstdint>
#include <string>

namespace pdkit::text {

// 0x2a
std::string hex(uint64_t value);
// 0x0000002A
std::string hex32(uint32_t value);
// Appends "2a" for 0x2A.
void appendHexByte(std::string& out, uint8_t byte);

}  // namespace pdkit::text
