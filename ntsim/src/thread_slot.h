// A small number for the calling thread: structures that keep a part per
// thread (as the kernel keeps one per processor) index their parts with it,
// so that threads side by side use different parts. A thread takes the
// lowest number no living thread holds and gives it back when it ends, so
// that threads started one after another (a test's or a benchmark's) do not
// drift onto numbers that share a part with a thread still running.
#pragma once

#include <atomic>
#include <cstdint>

namespace ntsim {

class ThreadSlot {
 public:
  ThreadSlot() {
    uint64_t taken = inUse().load(std::memory_order_relaxed);
    for (;;) {
      if (~taken == 0) {  // 64 threads at once: any number will do
        slot_ = kShared;
        return;
      }
      unsigned lowest = static_cast<unsigned>(__builtin_ctzll(~taken));
      if (inUse().compare_exchange_weak(taken, taken | (uint64_t{1} << lowest), std::memory_order_relaxed)) {
        slot_ = lowest;
        return;
      }
    }
  }
  ~ThreadSlot() {
    if (slot_ != kShared) inUse().fetch_and(~(uint64_t{1} << slot_), std::memory_order_relaxed);
  }
  ThreadSlot(const ThreadSlot&) = delete;
  ThreadSlot& operator=(const ThreadSlot&) = delete;

  unsigned value() const { return slot_ == kShared ? 0 : slot_; }

 private:
  static constexpr unsigned kShared = ~0u;
  static std::atomic<uint64_t>& inUse() {
    static std::atomic<uint64_t> bits{0};
    return bits;
  }
  unsigned slot_ = kShared;
};

inline unsigned threadSlot() {
  thread_local const ThreadSlot slot;
  return slot.value();
}

}  // namespace ntsim
