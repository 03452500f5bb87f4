#include "kdlog.h"

#include "kdformat.h"
#include "thread_slot.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <x86intrin.h>
#endif

namespace ntsim {
namespace {

constexpr size_t kSegmentBytes = 64 * 1024;
constexpr size_t kSpareSegments = 64;  // up to 4 MiB kept for reuse after a clear or a read

struct RecordHeader {
  uint64_t stamp;      // when the call was made: its place among all calls
  uint32_t bytes;      // the whole record, a multiple of 8
  uint32_t textBytes;  // the format or the text, without a terminator
  uint8_t kind;
  uint8_t count;  // captured argument slots
  uint8_t reserved[6];
};
static_assert(sizeof(RecordHeader) == 24);

size_t recordBytes(size_t textBytes, unsigned count) {
  return (sizeof(RecordHeader) + count * sizeof(uint64_t) + textBytes + 1 + 7) & ~size_t{7};
}

constexpr size_t kPreallocated = 2;  // segments ready before the first call

// Whether the processor's time-stamp counter runs at one rate on every core,
// never stopping, so that two stamps taken one after the other on any cores
// come in that order: what the counter is trusted for below.
bool invariantTimeStampCounter() {
#if defined(__x86_64__) || defined(__i386__)
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (static_cast<unsigned>(__get_cpuid_max(0x80000000, nullptr)) < 0x80000007u) return false;
  __get_cpuid(0x80000007, &eax, &ebx, &ecx, &edx);
  return (edx & (1u << 8)) != 0;
#else
  return false;
#endif
}

// A time that every thread reads without writing anything shared: the
// time-stamp counter where it is invariant (some 10 ns), else the monotonic
// clock (some 20 to 50 ns).
uint64_t timeStamp() {
  static const bool counter = invariantTimeStampCounter();
#if defined(__x86_64__) || defined(__i386__)
  if (counter) return __rdtsc();
#endif
  return static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
}

}  // namespace

DebugLog::DebugLog() {
  for (size_t i = 0; i < kPreallocated; ++i) spare_.push_back(std::make_unique<Segment>(kSegmentBytes));
}

std::unique_ptr<DebugLog::Segment> DebugLog::takeSegment(size_t bytes) {
  if (bytes <= kSegmentBytes) {
    std::lock_guard guard(spareLock_);
    if (!spare_.empty()) {
      auto segment = std::move(spare_.back());
      spare_.pop_back();
      return segment;
    }
  }
  return std::make_unique<Segment>(bytes < kSegmentBytes ? kSegmentBytes : bytes);
}

void DebugLog::giveBack(std::vector<std::unique_ptr<Segment>>& segments) {
  std::lock_guard guard(spareLock_);
  for (auto& segment : segments) {
    segment->used = 0;
    if (segment->capacity == kSegmentBytes && spare_.size() < kSpareSegments) spare_.push_back(std::move(segment));
  }
  segments.clear();
}

void DebugLog::append(Kind kind, std::string_view text, const uint64_t* slots, unsigned count) {
  const size_t bytes = recordBytes(text.size(), count);
  Part& part = parts_[threadSlot() % kParts];
  std::lock_guard guard(part.lock);
  Segment* tail = part.segments.empty() ? nullptr : part.segments.back().get();
  if (tail == nullptr || tail->capacity - tail->used < bytes) {
    part.segments.push_back(takeSegment(bytes));
    tail = part.segments.back().get();
  }
  // Rising within the part even if a thread moves to a core whose counter lags.
  part.lastStamp = std::max(timeStamp(), part.lastStamp + 1);
  RecordHeader header{part.lastStamp,
                      static_cast<uint32_t>(bytes),
                      static_cast<uint32_t>(text.size()),
                      static_cast<uint8_t>(kind),
                      static_cast<uint8_t>(count),
                      {}};
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
  // Every part at once: no record numbered below one taken can be missing.
  std::vector<std::unique_ptr<Segment>> pending;
  for (Part& part : parts_) part.lock.lock();
  for (Part& part : parts_) {
    for (auto& segment : part.segments) pending.push_back(std::move(segment));
    part.segments.clear();
  }
  for (Part& part : parts_) part.lock.unlock();

  std::vector<const RecordHeader*> records;
  for (const auto& segment : pending) {
    for (size_t offset = 0; offset < segment->used;) {
      const auto* header = reinterpret_cast<const RecordHeader*>(segment->data.get() + offset);
      records.push_back(header);
      offset += header->bytes;
    }
  }
  std::stable_sort(records.begin(), records.end(),
                   [](const RecordHeader* a, const RecordHeader* b) { return a->stamp < b->stamp; });
  formatted_.reserve(formatted_.size() + records.size());
  for (const RecordHeader* header : records) {
    const auto* at = reinterpret_cast<const std::byte*>(header);
    const auto* slots = reinterpret_cast<const uint64_t*>(at + sizeof *header);
    const char* text = reinterpret_cast<const char*>(at + sizeof *header + header->count * sizeof(uint64_t));
    if (static_cast<Kind>(header->kind) == Kind::Deferred) {
      CapturedArguments args(slots, header->count);
      formatted_.push_back(DebugRecord{formatKernel(text, args)});
    } else {
      formatted_.push_back(DebugRecord{std::string(text, header->textBytes)});
    }
  }
  giveBack(pending);
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
  std::vector<std::unique_ptr<Segment>> dropped;
  for (Part& part : parts_) part.lock.lock();
  for (Part& part : parts_) {
    for (auto& segment : part.segments) dropped.push_back(std::move(segment));
    part.segments.clear();
  }
  for (Part& part : parts_) part.lock.unlock();
  giveBack(dropped);
  formatted_.clear();
}

}  // namespace ntsim
