#include "peinfo/utf16.h"

namespace peinfo {

namespace {

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xc0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3f)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xe0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3f)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3f)));
  } else {
    out.push_back(static_cast<char>(0xf0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3f)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3f)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3f)));
  }
}

}  // namespace

std::string utf16le_to_utf8(std::span<const std::uint8_t> bytes) {
  constexpr char32_t replacement = 0xfffd;
  std::string out;
  const std::size_t units = bytes.size() / 2;
  for (std::size_t i = 0; i < units; ++i) {
    const char32_t unit = bytes[2 * i] | (bytes[2 * i + 1] << 8);
    if (unit >= 0xd800 && unit < 0xdc00 && i + 1 < units) {
      const char32_t low = bytes[2 * i + 2] | (bytes[2 * i + 3] << 8);
      if (low >= 0xdc00 && low < 0xe000) {
        append_utf8(out, 0x10000 + ((unit - 0xd800) << 10) + (low - 0xdc00));
        ++i;
        continue;
      }
    }
    append_utf8(out, unit >= 0xd800 && unit < 0xe000 ? replacement : unit);
  }
  return out;
}

}  // namespace peinfo
