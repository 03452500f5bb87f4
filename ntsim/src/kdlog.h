// The kernel debugger's record of DbgPrint calls, in call order. A call is
// appended as its format and captured argument values (formatted when the
// output is read) or as finished text. Records go into preallocated
// segments under a spin lock, so that a call costs a copy of a few dozen
// bytes; reading formats what is pending, once, and keeps the text.
#pragma once

#include "spinlock.h"

#include <ntsim/ntsim.h>

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
  enum class Kind : uint8_t { Deferred, Text };

  void append(Kind kind, std::string_view text, const uint64_t* slots, unsigned count);
  std::unique_ptr<Segment> takeSegment(size_t bytes);  // under lock_
  // Moves every pending record into formatted_, in order (under readMutex_).
  void formatPending();

  SpinLock lock_;  // guards segments_ and spare_
  std::vector<std::unique_ptr<Segment>> segments_;
  std::vector<std::unique_ptr<Segment>> spare_;
  std::mutex readMutex_;  // guards formatted_; taken before lock_
  std::vector<DebugRecord> formatted_;
};

}  // namespace ntsim
