// pdbench: the benchmarks of the three drivers and of ntsim. Google
// Benchmark's flags apply (--benchmark_filter, --benchmark_min_time,
// --benchmark_repetitions, --benchmark_format); the console report ends
// with the ratios between runs of the same invocation.
#include "benchmarks.h"
#include "summary_reporter.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace {

// Half a second of copying before the first benchmark, so that it does not
// run on a core still waking up (its clock, its caches) while later ones do not.
void warmUp() {
  std::vector<char> from(1 << 16, 1), to(1 << 16);
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
  while (std::chrono::steady_clock::now() < until) {
    std::memcpy(to.data(), from.data(), from.size());
    benchmark::ClobberMemory();
  }
}

}  // namespace

int main(int argc, char** argv) {
  bool console = true;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--benchmark_format=", 19) == 0) console = std::strcmp(argv[i] + 19, "console") == 0;
  }
  // The C library drops the bus lock from its mutexes while a process has
  // only ever had one thread, which would make the floor's mutex cheaper
  // than any lock a kernel takes. Drivers run among many threads: so does
  // every measurement here.
  std::thread([] {}).join();
  warmUp();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  pdbench::registerDriverPathBenchmarks();
  pdbench::registerDebugOutputBenchmarks();
  pdbench::registerWholePathBenchmarks();
  pdbench::registerMemoryBenchmarks();
  if (console) {
    pdbench::SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
  } else {
    benchmark::RunSpecifiedBenchmarks();
  }
  benchmark::Shutdown();
  return 0;
}
