// A caller's buffer placed at a chosen offset in its first page, with every
// byte around it (and in it, until the request) set to a known pattern, so
// that a byte written outside what a request may write shows.
//
// A buffer's memory is a power of two of pages (the guard after it fills the
// rest), and the memory of the last few buffers is kept for the next of the
// same size: a fresh block of a megabyte costs the sanitizer's allocator a
// mapping and the kernel a fault per page, more than the request it serves.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

namespace pdkit::fuzz {

class GuardedBuffer {
 public:
  static constexpr size_t kPage = 4096;
  static constexpr size_t kTail = 64;
  static constexpr uint8_t kPattern = 0xA5;

  GuardedBuffer(size_t length, size_t pageOffset)
      : length_(length),
        offset_(pageOffset % kPage),
        size_(roundUp(offset_ + length_ + kTail)),
        memory_(take(size_), Give{size_}) {
    std::memset(memory_.get(), kPattern, size_);
  }

  uint8_t* data() { return memory_.get() + offset_; }
  size_t length() const { return length_; }
  std::span<const uint8_t> bytes() const { return {memory_.get() + offset_, length_}; }

  // Fills the buffer itself (not the guard bytes around it).
  void fill(std::span<const uint8_t> contents) {
    if (!contents.empty()) std::memcpy(data(), contents.data(), contents.size());
  }

  // The guard bytes before and after the buffer still hold the pattern.
  bool guardsIntact() const { return untouched(0, offset_) && untouched(offset_ + length_, size_ - offset_ - length_); }

  // The buffer's bytes from `from` on still hold the pattern.
  bool untouchedFrom(size_t from) const { return from >= length_ || untouched(offset_ + from, length_ - from); }

 private:
  struct Block {
    size_t size;
    uint8_t* memory;
  };
  static constexpr size_t kKept = 8;
  static std::vector<Block>& kept() {
    static auto* blocks = new std::vector<Block>;  // never destroyed: the blocks stay reachable to the end
    return *blocks;
  }
  static uint8_t* take(size_t size) {
    auto& blocks = kept();
    for (auto it = blocks.begin(); it != blocks.end(); ++it) {
      if (it->size != size) continue;
      uint8_t* memory = it->memory;
      blocks.erase(it);
      return memory;
    }
    return static_cast<uint8_t*>(std::aligned_alloc(kPage, size));
  }
  struct Give {
    size_t size;
    void operator()(uint8_t* memory) const {
      auto& blocks = kept();
      if (blocks.size() == kKept) {
        std::free(blocks.front().memory);
        blocks.erase(blocks.begin());
      }
      blocks.push_back({size, memory});
    }
  };

  static size_t roundUp(size_t bytes) { return std::bit_ceil((bytes + kPage - 1) / kPage) * kPage; }

  // Compared a page at a time with memcmp: a byte loop would cost more than the request.
  bool untouched(size_t begin, size_t count) const {
    static const auto pattern = [] {
      std::array<uint8_t, kPage> page;
      page.fill(kPattern);
      return page;
    }();
    for (size_t at = begin; at < begin + count; at += kPage) {
      size_t chunk = std::min(kPage, begin + count - at);
      if (std::memcmp(memory_.get() + at, pattern.data(), chunk) != 0) return false;
    }
    return true;
  }

  size_t length_;
  size_t offset_;
  size_t size_;
  std::unique_ptr<uint8_t, Give> memory_;
};

}  // namespace pdkit::fuzz
