// Reads a fuzz input front to back. Past the end every read yields zero, so
// any byte string decodes to some sequence of operations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace pdkit::fuzz {

class ByteReader {
 public:
  explicit ByteReader(std::span<const uint8_t> bytes) : bytes_(bytes) {}

  bool empty() const { return offset_ >= bytes_.size(); }

  uint8_t u8() { return offset_ < bytes_.size() ? bytes_[offset_++] : 0; }

  uint16_t u16() {
    uint16_t low = u8();
    return static_cast<uint16_t>(low | (u8() << 8));
  }

  uint32_t u32() {
    uint32_t low = u16();
    return low | (static_cast<uint32_t>(u16()) << 16);
  }

  uint64_t u64() {
    uint64_t low = u32();
    return low | (static_cast<uint64_t>(u32()) << 32);
  }

 private:
  std::span<const uint8_t> bytes_;
  size_t offset_ = 0;
};

}  // namespace pdkit::fuzz
