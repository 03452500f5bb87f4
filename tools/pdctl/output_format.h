// How the commands' results read in the transcript: bytes as a hex dump,
// text a driver returned as lines, minor codes and control codes by name.
#pragma once

#include "numbers.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace pdctl {

// The bytes as a hex dump with their printable characters, 16 to a line
// (the first 4096 bytes; a last line counts the rest).
std::vector<std::string> dumpLines(const std::vector<uint8_t>& data);
// Text as lines for the transcript: line ends split it, control characters are shown escaped.
std::vector<std::string> textLines(const std::string& text);
// IRP_MN_SET_POWER, or the value in hex when the table has no name for it.
std::string minorText(uint32_t minor, std::span<const NamedValue> table);
// "device type 0x0022, function 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS"
std::string controlCodeText(uint32_t code);

}  // namespace pdctl
