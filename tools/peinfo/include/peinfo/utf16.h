// UTF-16LE text as found in resources, converted to UTF-8.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace peinfo {

// Converts little-endian UTF-16 code units (an even number of bytes) to
// UTF-8. Unpaired surrogates become U+FFFD.
std::string utf16le_to_utf8(std::span<const std::uint8_t> bytes);

}  // namespace peinfo
