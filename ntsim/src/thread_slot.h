// A small number for the calling thread, handed out in turn as threads first
// ask: structures that keep a part per thread (as the kernel keeps one per
// processor) index their parts with it, so that threads side by side use
// different parts.
#pragma once

#include <atomic>

namespace ntsim {

inline unsigned threadSlot() {
  static std::atomic<unsigned> next{0};
  thread_local const unsigned slot = next.fetch_add(1, std::memory_order_relaxed);
  return slot;
}

}  // namespace ntsim
