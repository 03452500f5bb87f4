// The fuzz target of one driver (PDKIT_FUZZ_TRAITS names its traits): each
// input is a sequence of operations run on a fresh ntsim machine against the
// reference model (session.h says what is checked).
#include "driver_traits.h"
#include "operations.h"
#include "session.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#ifdef PDKIT_FUZZ_COVERAGE
#include "coverage_bridge.h"
#endif

namespace {

const pdkit::fuzz::DriverTraits& traits() { return pdkit::fuzz::PDKIT_FUZZ_TRAITS; }

void beforeUnload() {
#ifdef PDKIT_FUZZ_COVERAGE
  pdkit::fuzz::harvestDriverCoverage();
#endif
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<pdkit::fuzz::Op> ops = pdkit::fuzz::decodeOps({data, size}, traits());
  {
    pdkit::fuzz::Session session(traits(), PDKIT_DRIVER_DIR, beforeUnload);
    session.run(ops);
  }
#ifdef PDKIT_FUZZ_COVERAGE
  if (pdkit::fuzz::driverCoverageRegions() == 0) {
    std::fprintf(stderr, "the driver module carries no coverage flags: build it with the fuzz preset\n");
    std::abort();
  }
#endif
  return 0;
}
