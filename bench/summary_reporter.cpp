#include "summary_reporter.h"

#include <algorithm>
#include <cstdio>
#include <string>

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

// The first three numbers of /proc/loadavg, or "unknown".
std::string loadAverage() {
  std::FILE* file = std::fopen("/proc/loadavg", "r");
  if (file == nullptr) return "unknown";
  double one = 0, five = 0, fifteen = 0;
  int read = std::fscanf(file, "%lf %lf %lf", &one, &five, &fifteen);
  std::fclose(file);
  if (read != 3) return "unknown";
  char text[64];
  std::snprintf(text, sizeof text, "%.2f %.2f %.2f", one, five, fifteen);
  return text;
}

// The goal a figure measured against its floor has, if any.
struct Goal {
  const char* prefix;  // of the benchmark's name
  const char* suffix;
  const char* wording;
  double maxRatio;  // 0: a bound in ns instead
  double maxNs;
};
constexpr Goal kGoals[] = {
    {"DriverPath/", "/discarded", "driver path within 3x of its floor, output discarded", 3.0, 0},
    {"DbgPrint/one_int/recorded", "", "DbgPrint with one %d recorded under 100 ns", 0, 100.0},
};

}  // namespace

SummaryReporter::SummaryReporter() : benchmark::ConsoleReporter(OO_Tabular), startLoad_(loadAverage()) {}

void SummaryReporter::ReportRuns(const std::vector<Run>& runs) {
  for (const Run& run : runs) {
    if (run.run_type != Run::RT_Iteration || run.error_occurred || run.iterations == 0) continue;
    Measured& measured = runs_[family(run.benchmark_name())][static_cast<int>(run.threads)];
    auto perSecond = run.counters.find("requests_per_s");
    if (perSecond != run.counters.end()) measured.perSecond.push_back(perSecond->second.value);
    auto cpu = run.counters.find("cpu_ns");
    if (cpu != run.counters.end()) measured.seconds.push_back(cpu->second.value * 1e-9);
    auto ns = run.counters.find("ns");
    auto floorNs = run.counters.find("floor_ns");
    if (ns != run.counters.end() && floorNs != run.counters.end()) {
      measured.ns.push_back(ns->second.value);
      measured.floorNs.push_back(floorNs->second.value);
    }
    auto kernelNs = run.counters.find("kernel_ns");
    if (kernelNs != run.counters.end()) measured.kernelNs.push_back(kernelNs->second.value);
  }
  ConsoleReporter::ReportRuns(runs);
}

// Each figure measured against its floor: median ns, floor, ratio, and the
// kernel-call floor with its ratio where there is one; then the goals.
void SummaryReporter::reportFloors(std::FILE* out) {
  bool any = false;
  for (const auto& [name, byThreads] : runs_) {
    auto one = byThreads.find(1);
    if (one == byThreads.end() || one->second.ns.empty()) continue;
    if (!any) {
      std::fprintf(out, "\nAgainst the floor (median of %zu run(s); ns of the thread's CPU time)\n",
                   one->second.ns.size());
      std::fprintf(out, "  %-44s %10s %10s %8s %16s %8s\n", "benchmark", "ns", "floor ns", "ratio", "kernel-call ns",
                   "ratio");
    }
    any = true;
    double ns = median(one->second.ns), floorNs = median(one->second.floorNs);
    std::fprintf(out, "  %-44s %10.1f %10.1f %8.2f", name.c_str(), ns, floorNs, floorNs > 0 ? ns / floorNs : 0);
    if (!one->second.kernelNs.empty()) {
      double kernelNs = median(one->second.kernelNs);
      std::fprintf(out, " %16.1f %8.2f", kernelNs, kernelNs > 0 ? ns / kernelNs : 0);
    }
    std::fprintf(out, "\n");
  }
  for (const Goal& goal : kGoals) {
    double worst = 0;
    std::string worstName;
    for (const auto& [name, byThreads] : runs_) {
      auto one = byThreads.find(1);
      if (one == byThreads.end() || one->second.ns.empty()) continue;
      if (!name.starts_with(goal.prefix) || !name.ends_with(goal.suffix)) continue;
      double ns = median(one->second.ns), floorNs = median(one->second.floorNs);
      double figure = goal.maxRatio > 0 ? (floorNs > 0 ? ns / floorNs : 0) : ns;
      if (worstName.empty() || figure > worst) {
        worst = figure;
        worstName = name;
      }
    }
    if (worstName.empty()) continue;
    bool met = goal.maxRatio > 0 ? worst <= goal.maxRatio : worst < goal.maxNs;
    std::fprintf(out, "  goal: %s: %s (worst %s: %.2f%s)\n", goal.wording, met ? "met" : "NOT met", worstName.c_str(),
                 worst, goal.maxRatio > 0 ? "x" : " ns");
  }
}

void SummaryReporter::Finalize() {
  std::FILE* out = stdout;
  reportFloors(out);
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
  std::fprintf(out, "\nLoad average at the end of the run: %s (at the start: %s)\n", loadAverage().c_str(),
               startLoad_.c_str());
  ConsoleReporter::Finalize();
}

}  // namespace pdbench
