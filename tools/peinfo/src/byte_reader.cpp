#include "peinfo/byte_reader.h"

#include "peinfo/hex.h"

namespace peinfo {

std::span<const std::uint8_t> ByteReader::span(std::size_t offset, std::size_t count, std::string_view field) const {
  if (offset > bytes_.size() || count > bytes_.size() - offset) {
    throw FormatError(what_ + ": " + std::string(field) + " at offset " + hex(offset) + " (" + std::to_string(count) +
                      " bytes) lies outside the " + std::to_string(bytes_.size()) + " bytes available");
  }
  return bytes_.subspan(offset, count);
}

std::uint8_t ByteReader::u8(std::size_t offset, std::string_view field) const { return span(offset, 1, field)[0]; }

std::uint16_t ByteReader::u16(std::size_t offset, std::string_view field) const {
  auto b = span(offset, 2, field);
  return static_cast<std::uint16_t>(b[0] | (b[1] << 8));
}

std::uint32_t ByteReader::u32(std::size_t offset, std::string_view field) const {
  auto b = span(offset, 4, field);
  return static_cast<std::uint32_t>(b[0]) | (static_cast<std::uint32_t>(b[1]) << 8) |
         (static_cast<std::uint32_t>(b[2]) << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
}

std::uint64_t ByteReader::u64(std::size_t offset, std::string_view field) const {
  return static_cast<std::uint64_t>(u32(offset, field)) | (static_cast<std::uint64_t>(u32(offset + 4, field)) << 32);
}

std::string ByteReader::c_string(std::size_t offset, std::size_t max, std::string_view field) const {
  std::string text;
  for (std::size_t i = 0; i < max; ++i) {
    const std::uint8_t c = u8(offset + i, field);
    if (c == 0) {
      return text;
    }
    text.push_back(static_cast<char>(c));
  }
  throw FormatError(what_ + ": " + std::string(field) + " at offset " + hex(offset) + " is not terminated within " +
                    std::to_string(max) + " bytes");
}

}  // namespace peinfo
