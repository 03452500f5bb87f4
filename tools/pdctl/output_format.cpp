// How the commands' results read in the transcript (output_format.h).
#include "output_format.h"

#include "text/hex.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace pdctl {

std::vector<std::string> dumpLines(const std::vector<uint8_t>& data) {
  static constexpr size_t kShown = 4096;
  std::vector<std::string> lines;
  size_t shown = std::min(data.size(), kShown);
  for (size_t offset = 0; offset < shown; offset += 16) {
    std::string hex, text;
    for (size_t i = 0; i < 16; ++i) {
      if (offset + i < shown) {
        uint8_t b = data[offset + i];
        pdkit::text::appendHexByte(hex, b);
        hex.push_back(' ');
        text.push_back(b >= 0x20 && b < 0x7F ? static_cast<char>(b) : '.');
      } else {
        hex += "   ";
      }
    }
    char position[24];
    std::snprintf(position, sizeof position, "%04zx", offset);
    lines.push_back(std::string(position) + "  " + hex + " |" + text + "|");
  }
  if (data.size() > shown) {
    lines.push_back("... " + std::to_string(data.size() - shown) + " more bytes (--json shows them all)");
  }
  return lines;
}

std::vector<std::string> textLines(const std::string& text) {
  std::vector<std::string> lines(1);
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    if (c == '\n') {
      lines.emplace_back();
    } else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
      lines.back() += "\\x";
      pdkit::text::appendHexByte(lines.back(), static_cast<uint8_t>(c));
    } else {
      lines.back().push_back(c);
    }
  }
  if (lines.back().empty()) lines.pop_back();
  for (auto& line : lines) line = "| " + line;
  return lines;
}

std::string minorText(uint32_t minor, std::span<const NamedValue> table) {
  auto name = nameOf(minor, table);
  return name.empty() ? hex32(minor) : std::string(name);
}

std::string controlCodeText(uint32_t code) {
  static constexpr std::array<const char*, 4> kMethods{"METHOD_BUFFERED", "METHOD_IN_DIRECT", "METHOD_OUT_DIRECT",
                                                       "METHOD_NEITHER"};
  static constexpr std::array<const char*, 4> kAccess{"FILE_ANY_ACCESS", "FILE_READ_ACCESS", "FILE_WRITE_ACCESS",
                                                      "FILE_READ_ACCESS | FILE_WRITE_ACCESS"};
  char text[96];
  std::snprintf(text, sizeof text, "device type 0x%04X, function 0x%03X", code >> 16, (code >> 2) & 0xFFF);
  return std::string(text) + ", " + kMethods[code & 3] + ", " + kAccess[(code >> 14) & 3];
}

}  // namespace pdctl
