// A caller's buffer placed at a chosen offset in its first page, with every
// byte around it (and in it, until the request) set to a known pattern, so
// that a byte written outside what a request may write shows: the rest of
// its first page before it, and at least kTail bytes and the rest of its last
// page after it.
//
// The memory of the last few buffers is kept for the next that fits (blocks
// are a power of two of pages): a fresh block of a megabyte costs the
// sanitizer's allocator a mapping and the kernel a fault per page, more than
// the request it serves. Only the pages a buffer spans are set and checked.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
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
        size_(pages(offset_ + length_ + kTail) * kPage),
        block_(take(size_)) {
    std::memset(block_.memory, kPattern, size_);
  }
  ~GuardedBuffer() { give(block_); }
  GuardedBuffer(const GuardedBuffer&) = delete;
  GuardedBuffer& operator=(const GuardedBuffer&) = delete;

  uint8_t* data() { return block_.memory + offset_; }
  size_t length() const { return length_; }
  std::span<const uint8_t> bytes() const { return {block_.memory + offset_, length_}; }

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
    size_t capacity;
    uint8_t* memory;
  };
  static constexpr size_t kKept = 8;
  static std::vector<Block>& kept() {
    static auto* blocks = new std::vector<Block>;  // never destroyed: the blocks stay reachable to the end
    return *blocks;
  }
  static Block take(size_t size) {
    size_t capacity = std::bit_ceil(pages(size)) * kPage;
    auto& blocks = kept();
    for (auto it = blocks.begin(); it != blocks.end(); ++it) {
      if (it->capacity != capacity) continue;
      Block block = *it;
      blocks.erase(it);
      return block;
    }
    return {capacity, static_cast<uint8_t*>(std::aligned_alloc(kPage, capacity))};
  }
  static void give(Block block) {
    auto& blocks = kept();
    if (blocks.size() == kKept) {
      std::free(blocks.front().memory);
      blocks.erase(blocks.begin());
    }
    blocks.push_back(block);
  }

  static size_t pages(size_t bytes) { return (bytes + kPage - 1) / kPage; }

  // Compared a page at a time with memcmp: a byte loop would cost more than the request.
  bool untouched(size_t begin, size_t count) const {
    static const auto pattern = [] {
      std::array<uint8_t, kPage> page;
      page.fill(kPattern);
      return page;
    }();
    for (size_t at = begin; at < begin + count; at += kPage) {
      size_t chunk = std::min(kPage, begin + count - at);
      if (std::memcmp(block_.memory + at, pattern.data(), chunk) != 0) return false;
    }
    return true;
  }

  size_t length_;
  size_t offset_;
  size_t size_;
  Block block_;
};

}  // namespace pdkit::fuzz
