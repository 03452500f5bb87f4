// Bounds-checked little-endian reads from a byte buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "peinfo/format_error.h"

namespace peinfo {

class ByteReader {
 public:
  // `what` names the buffer in error messages, e.g. "tavrin.sys".
  ByteReader(std::span<const std::uint8_t> bytes, std::string what) : bytes_(bytes), what_(std::move(what)) {}

  std::size_t size() const { return bytes_.size(); }
  std::span<const std::uint8_t> bytes() const { return bytes_; }
  const std::string& what() const { return what_; }

  // The `count` bytes at `offset`; `field` names them in the error message.
  std::span<const std::uint8_t> span(std::size_t offset, std::size_t count, std::string_view field) const;

  std::uint8_t u8(std::size_t offset, std::string_view field) const;
  std::uint16_t u16(std::size_t offset, std::string_view field) const;
  std::uint32_t u32(std::size_t offset, std::string_view field) const;
  std::uint64_t u64(std::size_t offset, std::string_view field) const;

  // A NUL-terminated 8-bit string starting at `offset`, at most `max` bytes.
  std::string c_string(std::size_t offset, std::size_t max, std::string_view field) const;

 private:
  std::span<const std::uint8_t> bytes_;
  std::string what_;
};

}  // namespace peinfo
