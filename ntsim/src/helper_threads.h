// The threads on which the root bus completes a pended request later and the
// power manager sends a power IRP that waited for its device. Each such task
// runs on a thread of its own, as it did when every task started a new
// thread, but the threads are kept, parked, for the next tasks, of this
// machine or a later one: a host that builds a machine per run (the fuzz
// targets) starts no thread per request, nor per machine.
//
// A machine counts the tasks it handed out and not yet finished (InFlight),
// so that a host can wait for them on a condition instead of polling.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace ntsim {

// Runs task on a parked helper thread, or on a new one when none is parked;
// never on the calling thread and never behind another task.
void runOnHelperThread(std::function<void()> task);

// Tasks handed out and not yet finished.
class InFlight {
 public:
  void begin();
  void end();
  int count() const;
  void waitForNone() const;
  // True once none is left; false when timeout passed first.
  bool waitForNone(std::chrono::milliseconds timeout) const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable none_;
  int count_ = 0;
};

}  // namespace ntsim
