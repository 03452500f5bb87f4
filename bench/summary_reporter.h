// The console report, followed by the ratios that compare runs of this same
// invocation: throughput with 2 and 4 threads against 1 thread, and the
// cost of a request with many handles open or many requests served against
// the cost on a fresh machine.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

namespace pdbench {

class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  SummaryReporter() : benchmark::ConsoleReporter(OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override;
  void Finalize() override;

 private:
  struct Measured {
    std::vector<double> perSecond;  // requests per second of each repetition
    std::vector<double> seconds;    // CPU seconds per request (all threads) of each repetition
  };
  // Keyed by the benchmark's name without its thread count, then by threads.
  std::map<std::string, std::map<int, Measured>> runs_;
};

}  // namespace pdbench
