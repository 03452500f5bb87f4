// Hexadecimal text for messages and reports ("0x1f", "0x0000001f").
#pragma once

#include <cstdint>
#include <string>

namespace peinfo {

// `value` as "0x..." with at least `digits` hex digits.
std::string hex(std::uint64_t value, int digits = 1);

}  // namespace peinfo
