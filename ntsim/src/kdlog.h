// The kernel debugger's record of DbgPrint calls, in call order. A call is
// appended as its format and captured argument values (formatted when the
// output is read) or as finished text.
//
// One lock guards the pending records, so the record's order is the order in
// which the calls took it, across threads too. Pending records sit back to
// back in one buffer that keeps its capacity: recording a call allocates
// nothing once the buffer has grown to what the run prints between reads. A
// read swaps the buffer for a spare one under the lock and formats outside
// it, once, keeping the text.
#pragma once

#include "spinlock.h"

#include <ntsim/ntsim.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace ntsim {

class DebugLog {
 public:
  DebugLog() = default;  // its buffers grow with the first records: a machine that prints little allocates little
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
  enum class Kind : uint8_t { Deferred, Text };

  void append(Kind kind, std::string_view text, const uint64_t* slots, unsigned count);
  // Moves every pending record into formatted_, in call order (under readMutex_).
  void formatPending();

  SpinLock lock_;                   // guards pending_
  std::vector<std::byte> pending_;  // records not yet formatted, in call order
  std::mutex readMutex_;            // guards what follows; taken before lock_
  std::vector<std::byte> reading_;  // the buffer a read formats from, empty between reads
  std::vector<DebugRecord> formatted_;
};

}  // namespace ntsim
