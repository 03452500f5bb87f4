// A program's buffer for one request: zero-filled and starting on a page
// boundary, so that a direct-I/O driver sees the same offset in the page
// (0) on every run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>

namespace pdctl {

class IoBuffer {
 public:
  static constexpr size_t kPage = 4096;

  explicit IoBuffer(size_t size)
      : data_(static_cast<uint8_t*>(::operator new (size == 0 ? 1 : size, std::align_val_t{kPage}))), size_(size) {
    std::memset(data_, 0, size == 0 ? 1 : size);
  }
  ~IoBuffer() { ::operator delete (data_, std::align_val_t{kPage}); }
  IoBuffer(const IoBuffer&) = delete;
  IoBuffer& operator=(const IoBuffer&) = delete;

  uint8_t* data() { return data_; }
  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }

 private:
  uint8_t* data_;
  size_t size_;
};

}  // namespace pdctl
