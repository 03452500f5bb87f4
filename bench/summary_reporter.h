// The console report, followed by the figures docs/PERFORMANCE.md states,
// each from runs of this same invocation: every benchmark measured against
// its floor (the driver path, DbgPrint) with the goals they have, throughput
// with 2 and 4 threads against 1 thread, the cost of a request with many
// handles open or many requests served against the cost on a fresh machine,
// and the load average the figures were taken at.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace pdbench {

class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  SummaryReporter();

  void ReportRuns(const std::vector<Run>& runs) override;
  void Finalize() override;

 private:
  struct Measured {
    std::vector<double> perSecond;  // requests per second of each repetition
    std::vector<double> seconds;    // CPU seconds per request (all threads) of each repetition
    std::vector<double> ns;         // measured against a floor: ns per call of each repetition
    std::vector<double> floorNs;    // and its floor's
    std::vector<double> kernelNs;   // and its kernel-call floor's, where it has one
  };
  void reportFloors(std::FILE* out);
  // Keyed by the benchmark's name without its thread count, then by threads.
  std::map<std::string, std::map<int, Measured>> runs_;
  std::string startLoad_;
};

}  // namespace pdbench
