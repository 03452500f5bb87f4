// The fuzz target of one driver (PDKIT_FUZZ_TRAITS names its traits): each
// input is a sequence of operations run on a fresh ntsim machine against the
// reference model (session.h says what is checked).
//
// The module is mapped once and put back to its just-mapped state before each
// load (ntsim::ModuleImage) rather than mapped afresh for every input. It is
// mapped afresh all the same by the reload operation and every
// PDKIT_FUZZ_RELOAD_EVERY inputs (default 500; 1 maps it for every input), so
// that state a reset might miss could not build up for long.
#include "driver_traits.h"
#include "operations.h"
#include "session.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#ifdef PDKIT_FUZZ_COVERAGE
#include "coverage_bridge.h"
#endif

namespace {

const pdkit::fuzz::DriverTraits& traits() { return pdkit::fuzz::PDKIT_FUZZ_TRAITS; }

void harvest() {
#ifdef PDKIT_FUZZ_COVERAGE
  pdkit::fuzz::harvestDriverCoverage();
#endif
}

// Before a mapping goes away: its coverage kept, then its flags forgotten.
void harvestAndForget() {
#ifdef PDKIT_FUZZ_COVERAGE
  pdkit::fuzz::harvestDriverCoverage();
  pdkit::fuzz::forgetDriverCoverage();
#endif
}

unsigned reloadEvery() {
  const char* text = std::getenv("PDKIT_FUZZ_RELOAD_EVERY");
  long every = text != nullptr ? std::strtol(text, nullptr, 10) : 500;
  if (every < 1) {
    std::fprintf(stderr, "PDKIT_FUZZ_RELOAD_EVERY must be a number of inputs, 1 or more\n");
    std::exit(2);
  }
  return static_cast<unsigned>(every);
}

ntsim::ModuleImage& image() {
  static const unsigned every = reloadEvery();
  static std::unique_ptr<ntsim::ModuleImage> image;
  static unsigned inputs = 0;
  if (image == nullptr) {
    image = std::make_unique<ntsim::ModuleImage>(PDKIT_DRIVER_DIR "/" + std::string(traits().module) + ".so");
  } else if (inputs++ % every == every - 1) {
    // The last input's flags were harvested at its end: only forgotten here.
#ifdef PDKIT_FUZZ_COVERAGE
    pdkit::fuzz::forgetDriverCoverage();
#endif
    image->remap();
  }
  return *image;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<pdkit::fuzz::Op> ops = pdkit::fuzz::decodeOps({data, size}, traits());
  ntsim::ModuleImage& module = image();
  {
    pdkit::fuzz::Session session(traits(), module, harvestAndForget);
    session.run(ops);
  }
  harvest();
#ifdef PDKIT_FUZZ_COVERAGE
  if (pdkit::fuzz::driverCoverageRegions() == 0) {
    std::fprintf(stderr, "the driver module carries no coverage flags: build it with the fuzz preset\n");
    std::abort();
  }
#endif
  return 0;
}
