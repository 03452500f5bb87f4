#include "coverage_bridge.h"

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace pdkit::fuzz {
namespace {

// libFuzzer reads this section after every input as extra coverage counters.
constexpr size_t kCounters = 1 << 16;
__attribute__((section("__libfuzzer_extra_counters"), used)) uint8_t g_counters[kCounters];

struct Region {
  bool* begin;
  bool* end;
};

std::mutex g_mutex;
std::vector<Region> g_regions;  // flags of the driver copies mapped now
unsigned g_registered = 0;

}  // namespace

void harvestDriverCoverage() {
  std::lock_guard lock(g_mutex);
  for (const Region& region : g_regions) {
    for (bool* flag = region.begin; flag < region.end; ++flag) {
      if (*flag) g_counters[static_cast<size_t>(flag - region.begin) % kCounters] = 1;
    }
  }
}

void forgetDriverCoverage() {
  std::lock_guard lock(g_mutex);
  g_regions.clear();
}

unsigned driverCoverageRegions() {
  std::lock_guard lock(g_mutex);
  return g_registered;
}

}  // namespace pdkit::fuzz

// Called by every instrumented driver copy when it is mapped.
extern "C" __attribute__((visibility("default"))) void __sanitizer_cov_bool_flag_init(bool* begin, bool* end) {
  if (begin == end) return;
  std::lock_guard lock(pdkit::fuzz::g_mutex);
  pdkit::fuzz::g_regions.push_back({begin, end});
  ++pdkit::fuzz::g_registered;
}
