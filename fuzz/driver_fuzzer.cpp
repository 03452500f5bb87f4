// The fuzz target of one driver (PDKIT_FUZZ_TRAITS names its traits): each
// input is a sequence of operations run on a fresh ntsim machine against the
// reference model (session.h says what is checked).
//
// Mapping the module afresh for every input would cost most of the run, so
// the module is mapped once and put back to its just-mapped state before each
// load (ntsim::ModuleImage). Every PDKIT_FUZZ_RELOAD_EVERY inputs (default
// 500; 1 maps it for every input) it is unmapped and mapped afresh all the
// same, so that state a reset might miss could not build up for long.
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
  if (image != nullptr && inputs++ % every != every - 1) return *image;
#ifdef PDKIT_FUZZ_COVERAGE
  pdkit::fuzz::forgetDriverCoverage();
#endif
  image.reset();
  image = std::make_unique<ntsim::ModuleImage>(PDKIT_DRIVER_DIR "/" + std::string(traits().module) + ".so");
  return *image;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<pdkit::fuzz::Op> ops = pdkit::fuzz::decodeOps({data, size}, traits());
  ntsim::ModuleImage& module = image();
  {
    pdkit::fuzz::Session session(traits(), module, harvest);
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
