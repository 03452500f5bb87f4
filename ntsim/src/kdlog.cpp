#include "kdlog.h"

#include "kdformat.h"

#include <cstring>

namespace ntsim {
namespace {

constexpr size_t kSegmentBytes = 64 * 1024;
constexpr size_t kSpareSegments = 64;  // up to 4 MiB kept for reuse after a clear or a read

struct RecordHeader {
  uint32_t bytes;      // the whole record, a multiple of 8
  uint32_t textBytes;  // the format or the text, without a terminator
  uint8_t kind;
  uint8_t count;       // captured argument slots
  uint8_t reserved[6];
};
static_assert(sizeof(RecordHeader) == 16);

size_t recordBytes(size_t textBytes, unsigned count) {
  return (sizeof(RecordHeader) + count * sizeof(uint64_t) + textBytes + 1 + 7) & ~size_t{7};
}

}  // namespace

DebugLog::DebugLog() { segments_.push_back(std::make_unique<Segment>(kSegmentBytes)); }

std::unique_ptr<DebugLog::Segment> DebugLog::takeSegment(size_t bytes) {
  if (bytes <= kSegmentBytes && !spare_.empty()) {
    auto segment = std::move(spare_.back());
    spare_.pop_back();
    return segment;
  }
  return std::make_unique<Segment>(bytes < kSegmentBytes ? kSegmentBytes : bytes);
}

void DebugLog::append(Kind kind, std::string_view text, const uint64_t* slots, unsigned count) {
  const size_t bytes = recordBytes(text.size(), count);
  RecordHeader header{static_cast<uint32_t>(bytes), static_cast<uint32_t>(text.size()), static_cast<uint8_t>(kind),
                      static_cast<uint8_t>(count), {}};
  std::lock_guard guard(lock_);
  Segment* tail = segments_.empty() ? nullptr : segments_.back().get();
  if (tail == nullptr || tail->capacity - tail->used < bytes) {
    segments_.push_back(takeSegment(bytes));
    tail = segments_.back().get();
  }
  std::byte* at = tail->data.get() + tail->used;
  std::memcpy(at, &header, sizeof header);
  if (count != 0) std::memcpy(at + sizeof header, slots, count * sizeof(uint64_t));
  std::byte* textAt = at + sizeof header + count * sizeof(uint64_t);
  std::memcpy(textAt, text.data(), text.size());
  textAt[text.size()] = std::byte{0};
  tail->used += bytes;
}

void DebugLog::addDeferred(std::string_view format, const uint64_t* slots, unsigned count) {
  append(Kind::Deferred, format, slots, count);
}

void DebugLog::addText(std::string_view text) { append(Kind::Text, text, nullptr, 0); }

void DebugLog::formatPending() {
  std::vector<std::unique_ptr<Segment>> pending;
  {
    std::lock_guard guard(lock_);
    pending.swap(segments_);
  }
  for (auto& segment : pending) {
    for (size_t offset = 0; offset < segment->used;) {
      const std::byte* at = segment->data.get() + offset;
      RecordHeader header;
      std::memcpy(&header, at, sizeof header);
      const auto* slots = reinterpret_cast<const uint64_t*>(at + sizeof header);
      const char* text = reinterpret_cast<const char*>(at + sizeof header + header.count * sizeof(uint64_t));
      if (static_cast<Kind>(header.kind) == Kind::Deferred) {
        CapturedArguments args(slots, header.count);
        formatted_.push_back(DebugRecord{formatKernel(text, args)});
      } else {
        formatted_.push_back(DebugRecord{std::string(text, header.textBytes)});
      }
      offset += header.bytes;
    }
    segment->used = 0;
  }
  std::lock_guard guard(lock_);
  for (auto& segment : pending) {
    if (segment->capacity == kSegmentBytes && spare_.size() < kSpareSegments) spare_.push_back(std::move(segment));
  }
}

std::vector<DebugRecord> DebugLog::records() {
  std::lock_guard read(readMutex_);
  formatPending();
  return formatted_;
}

std::string DebugLog::stream() {
  std::lock_guard read(readMutex_);
  formatPending();
  std::string text;
  for (const auto& record : formatted_) text += record.text;
  return text;
}

void DebugLog::clear() {
  std::lock_guard read(readMutex_);
  std::lock_guard guard(lock_);
  for (auto& segment : segments_) {
    segment->used = 0;
    if (segment->capacity == kSegmentBytes && spare_.size() < kSpareSegments) spare_.push_back(std::move(segment));
  }
  segments_.clear();
  formatted_.clear();
}

}  // namespace ntsim
