#include "summary_reporter.h"

#include <algorithm>
#include <cstdio>

namespace pdbench {
namespace {

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// "WholePath/tavrin/read" from "WholePath/tavrin/read/real_time/threads:2".
std::string family(const std::string& name) {
  std::string result = name;
  for (const char* suffix : {"/real_time", "/threads:"}) {
    size_t at = result.find(suffix);
    if (at != std::string::npos) result.erase(at);
  }
  return result;
}

}  // namespace

void SummaryReporter::ReportRuns(const std::vector<Run>& runs) {
  for (const Run& run : runs) {
    if (run.run_type != Run::RT_Iteration || run.error_occurred || run.iterations == 0) continue;
    Measured& measured = runs_[family(run.benchmark_name())][static_cast<int>(run.threads)];
    auto perSecond = run.counters.find("requests_per_s");
    if (perSecond != run.counters.end()) measured.perSecond.push_back(perSecond->second.value);
    auto cpu = run.counters.find("cpu_ns");
    if (cpu != run.counters.end()) measured.seconds.push_back(cpu->second.value * 1e-9);
  }
  ConsoleReporter::ReportRuns(runs);
}

void SummaryReporter::Finalize() {
  std::FILE* out = stdout;
  bool heading = false;
  auto head = [&] {
    if (!heading) std::fprintf(out, "\nRatios within this run\n");
    heading = true;
  };
  // Throughput as threads are added.
  for (const auto& [name, byThreads] : runs_) {
    auto one = byThreads.find(1);
    if (byThreads.size() < 2 || one == byThreads.end() || one->second.perSecond.empty()) continue;
    head();
    std::fprintf(out, "  %-40s requests/s", name.c_str());
    for (const auto& [threads, measured] : byThreads) {
      std::fprintf(out, "  %dT %.0f (x%.2f)", threads, median(measured.perSecond),
                   median(measured.perSecond) / median(one->second.perSecond));
    }
    std::fprintf(out, "\n  %-40s CPU ns/request", "");
    for (const auto& [threads, measured] : byThreads) {
      std::fprintf(out, "  %dT %.0f (x%.2f)", threads, median(measured.seconds) * 1e9,
                   median(measured.seconds) / median(one->second.seconds));
    }
    std::fprintf(out, "\n");
  }
  // A request's cost against the first variant of the same family: OpenHandles/x/read/1 vs /100.
  std::map<std::string, std::vector<std::pair<std::string, double>>> variants;
  for (const auto& [name, byThreads] : runs_) {
    if (!name.starts_with("OpenHandles/") && !name.starts_with("RequestsServed/")) continue;
    auto slash = name.rfind('/');
    auto one = byThreads.find(1);
    if (one == byThreads.end() || one->second.seconds.empty()) continue;
    variants[name.substr(0, slash)].emplace_back(name.substr(slash + 1), median(one->second.seconds));
  }
  for (auto& [name, list] : variants) {
    if (list.size() < 2) continue;
    std::sort(list.begin(), list.end(),
              [](const auto& a, const auto& b) { return std::stol(a.first) < std::stol(b.first); });
    head();
    std::fprintf(out, "  %-40s ns/request", name.c_str());
    for (const auto& [variant, seconds] : list) {
      std::fprintf(out, "  %s: %.0f (x%.2f)", variant.c_str(), seconds * 1e9, seconds / list.front().second);
    }
    std::fprintf(out, "\n");
  }
  ConsoleReporter::Finalize();
}

}  // namespace pdbench
