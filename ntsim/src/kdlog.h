// The kernel debugger's record of DbgPrint calls, in call order. A call is
// appended as its format and captured argument values (formatted when the
// output is read) or as finished text.
//
// Calls from many threads must not queue on one lock: the log has a few
// parts, each with its own lock and preallocated segments, and a thread
// appends to the part its thread slot picks. Every record is stamped with
// the processor's time-stamp counter (the monotonic clock where the counter
// is not invariant) while its part is locked (a shared
// counter would pass one cache line between every two calls of threads side
// by side), kept rising within the part, so the records of a part are in
// stamp order; a read locks every part at once (so that no record stamped
// before it is missing), takes their records, and puts them in stamp order.
// Calls of different threads within a few nanoseconds of each other have no
// order to keep. Reading formats what is pending, once, and keeps the text.
#pragma once

#include "spinlock.h"

#include <ntsim/ntsim.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace ntsim {

class DebugLog {
 public:
  DebugLog();
  DebugLog(const DebugLog&) = delete;
  DebugLog& operator=(const DebugLog&) = delete;

  // A call whose text is made from its format and argument values when read.
  void addDeferred(std::string_view format, const uint64_t* slots, unsigned count);
  // A call whose text is already made.
  void addText(std::string_view text);

  std::vector<DebugRecord> records();
  std::string stream();
  void clear();

 private:
  struct Segment {
    explicit Segment(size_t bytes) : capacity(bytes), data(new std::byte[bytes]) {}
    size_t capacity;
    size_t used = 0;
    std::unique_ptr<std::byte[]> data;
  };
  struct alignas(64) Part {
    SpinLock lock;  // guards what follows
    std::vector<std::unique_ptr<Segment>> segments;
    uint64_t lastStamp = 0;
  };
  enum class Kind : uint8_t { Deferred, Text };
  static constexpr size_t kParts = 8;

  void append(Kind kind, std::string_view text, const uint64_t* slots, unsigned count);
  std::unique_ptr<Segment> takeSegment(size_t bytes);
  void giveBack(std::vector<std::unique_ptr<Segment>>& segments);
  // Moves every pending record into formatted_, in call order (under readMutex_).
  void formatPending();

  Part parts_[kParts];
  SpinLock spareLock_;  // guards spare_
  std::vector<std::unique_ptr<Segment>> spare_;
  std::mutex readMutex_;  // guards formatted_; taken before any part's lock
  std::vector<DebugRecord> formatted_;
};

}  // namespace ntsim
