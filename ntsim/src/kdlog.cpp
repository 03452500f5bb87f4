#include "kdlog.h"

#include "kdformat.h"

#include <cstring>

namespace ntsim {
namespace {

// What an emptied buffer that had grown past kKeptBytes starts again from.
constexpr size_t kInitialBytes = 16 * 1024;
constexpr size_t kKeptBytes = 4 * 1024 * 1024;  // a buffer larger than this is given back when emptied

struct RecordHeader {
  uint32_t bytes;      // the whole record, a multiple of 8
  uint32_t textBytes;  // the format or the text, without a terminator
  uint8_t kind;
  uint8_t count;  // captured argument slots
  uint8_t reserved[6];
};
static_assert(sizeof(RecordHeader) == 16);

size_t recordBytes(size_t textBytes, unsigned count) {
  return (sizeof(RecordHeader) + count * sizeof(uint64_t) + textBytes + 1 + 7) & ~size_t{7};
}

void empty(std::vector<std::byte>& buffer) {
  if (buffer.capacity() > kKeptBytes) {
    std::vector<std::byte>().swap(buffer);
    buffer.reserve(kInitialBytes);
  }
  buffer.clear();
}

}  // namespace

void DebugLog::append(Kind kind, std::string_view text, const uint64_t* slots, unsigned count) {
  const size_t bytes = recordBytes(text.size(), count);
  const RecordHeader header{static_cast<uint32_t>(bytes),
                            static_cast<uint32_t>(text.size()),
                            static_cast<uint8_t>(kind),
                            static_cast<uint8_t>(count),
                            {}};
  std::lock_guard guard(lock_);
  const size_t at = pending_.size();
  pending_.resize(at + bytes);
  std::byte* record = pending_.data() + at;
  std::memcpy(record, &header, sizeof header);
  if (count != 0) std::memcpy(record + sizeof header, slots, count * sizeof(uint64_t));
  std::memcpy(record + sizeof header + count * sizeof(uint64_t), text.data(), text.size());
}

void DebugLog::addDeferred(std::string_view format, const uint64_t* slots, unsigned count) {
  append(Kind::Deferred, format, slots, count);
}

void DebugLog::addText(std::string_view text) { append(Kind::Text, text, nullptr, 0); }

void DebugLog::formatPending() {
  {
    std::lock_guard guard(lock_);
    pending_.swap(reading_);
  }
  for (size_t offset = 0; offset < reading_.size();) {
    const std::byte* at = reading_.data() + offset;
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
  empty(reading_);
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
  {
    std::lock_guard guard(lock_);
    pending_.swap(reading_);
  }
  empty(reading_);
  formatted_.clear();
}

}  // namespace ntsim
