// The floor of a request: the least any implementation of a read or write
// of n bytes pays. The bytes moved once (memcpy), the remove lock's count
// taken and given back (an atomic increment and decrement) and the store's
// lock taken and released (an uncontended mutex). A write replaces the whole
// store, so its floor also zeroes the store's bytes past the caller's.
#pragma once

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <time.h>
#include <vector>

namespace pdbench {

class RequestFloor {
 public:
  explicit RequestFloor(size_t bytes, size_t zeroed = 0)
      : source_(bytes, 0x5A), destination_(bytes + zeroed), zeroed_(zeroed) {}

  void operator()() {
    count_.fetch_add(1);
    {
      std::lock_guard lock(mutex_);
      std::memcpy(destination_.data(), source_.data(), source_.size());
      if (zeroed_ != 0) std::memset(destination_.data() + source_.size(), 0, zeroed_);
    }
    count_.fetch_sub(1);
    benchmark::ClobberMemory();
  }

 private:
  std::vector<uint8_t> source_;
  std::vector<uint8_t> destination_;
  size_t zeroed_;
  std::atomic<long> count_{1};
  std::mutex mutex_;
};

// CPU time of the calling thread: on a machine shared with other work, the
// time a thread actually ran is what two loops of one run can be compared by.
inline double threadNanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

// Times the body of a benchmark loop the same way the floor is timed.
class LoopClock {
 public:
  void start() { start_ = threadNanoseconds(); }
  void stop() { took_ = threadNanoseconds() - start_; }
  double nanosecondsPer(int64_t calls) const { return calls <= 0 ? 0 : took_ / static_cast<double>(calls); }

 private:
  double start_ = 0;
  double took_ = 0;
};

// Nanoseconds (of this thread's CPU time) per call of f over `calls` calls.
template <typename F>
double nanosecondsPerCall(F&& f, int64_t calls) {
  LoopClock clock;
  clock.start();
  for (int64_t i = 0; i < calls; ++i) f();
  clock.stop();
  return clock.nanosecondsPer(calls);
}

}  // namespace pdbench
