// A lock for the few instructions of ntsim's hot bookkeeping (the debugger
// log, remove-lock tags, lookaside lists): one atomic exchange to take it,
// a store to release it. A waiter spins briefly, then yields its core, so a
// holder that lost its core gets it back.
#pragma once

#include <atomic>
#include <thread>

namespace ntsim {

class SpinLock {
 public:
  void lock() noexcept {
    while (locked_.exchange(true, std::memory_order_acquire)) {
      for (int spins = 0; locked_.load(std::memory_order_relaxed); ++spins) {
        if (spins < 64)
          pause();
        else
          std::this_thread::yield();
      }
    }
  }
  bool try_lock() noexcept {
    return !locked_.load(std::memory_order_relaxed) && !locked_.exchange(true, std::memory_order_acquire);
  }
  void unlock() noexcept { locked_.store(false, std::memory_order_release); }

 private:
  static void pause() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
  }
  std::atomic<bool> locked_{false};
};

}  // namespace ntsim
