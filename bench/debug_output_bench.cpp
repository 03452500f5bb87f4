// Debugger output: the cost of one DbgPrint call with one %d as ntsim records
// it, next to its floor (copying the call's format text and argument once),
// and the cost of reading the recorded calls back.
#include "benchmarks.h"
#include "floor.h"

#include <ntsim/ntsim.h>

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

namespace pdbench {
namespace {

constexpr const char* kFormat = "Output Buffer Length : %d\r\n";
constexpr int64_t kClearEvery = 4096;

// What recording one call needs at the least, with no lock and no
// formatting: its format text and argument copied into the next bytes of a
// ring.
class CallFloor {
 public:
  explicit CallFloor(const char* format) : format_(format), ring_(64 * 1024) {}
  void operator()() {
    size_t length = std::strlen(format_);
    if (at_ + length + sizeof value_ > ring_.size()) at_ = 0;
    std::memcpy(ring_.data() + at_, &value_, sizeof value_);
    std::memcpy(ring_.data() + at_ + sizeof value_, format_, length);
    at_ += (length + sizeof value_ + 7) & ~size_t{7};
    ++value_;
    benchmark::ClobberMemory();
  }

 private:
  const char* format_;
  std::vector<char> ring_;
  size_t at_ = 0;
  int value_ = 0;
};

void oneCall(benchmark::State& state, bool record) {
  ntsim::Machine machine;
  machine.setDebugCapture(record);
  int value = 0;
  int64_t sinceClear = 0;
  LoopClock clock;
  clock.start();
  for (auto _ : state) {
    DbgPrint(kFormat, value++);
    if (++sinceClear == kClearEvery) {
      machine.clearDebugOutput();
      sinceClear = 0;
    }
  }
  clock.stop();
  const char* volatile format = kFormat;  // not a constant the compiler can fold
  CallFloor floor(format);
  double floorNs = nanosecondsPerCall(floor, state.iterations());
  const double callNs = clock.nanosecondsPer(state.iterations());
  state.counters["ns"] = callNs;
  state.counters["floor_ns"] = floorNs;
  state.counters["x_floor"] = floorNs > 0 ? callNs / floorNs : 0;
}

// Several threads printing at once into one recording.
void oneCallShared(benchmark::State& state) {
  static ntsim::Machine* machine = nullptr;  // one machine for the threads of this run
  if (state.thread_index() == 0) machine = new ntsim::Machine;
  int value = 0;
  for (auto _ : state) {
    DbgPrint(kFormat, value++);
    if (state.thread_index() == 0 && value % kClearEvery == 0) machine->clearDebugOutput();
  }
  if (state.thread_index() == 0) {
    delete machine;
    machine = nullptr;
  }
  state.SetItemsProcessed(state.iterations());
}

// Reading the recorded calls back as text, per call read.
void readBack(benchmark::State& state, bool asList) {
  ntsim::Machine machine;
  const int64_t calls = state.range(0);
  for (int64_t i = 0; i < calls; ++i) DbgPrint(kFormat, static_cast<int>(i));
  size_t total = 0;
  for (auto _ : state) {
    if (asList)
      total += machine.debugOutput().size();
    else
      total += machine.debugStream().size();
  }
  benchmark::DoNotOptimize(total);
  state.SetItemsProcessed(state.iterations() * calls);
}

}  // namespace

void registerDebugOutputBenchmarks() {
  benchmark::RegisterBenchmark("DbgPrint/one_int/recorded", oneCall, true);
  benchmark::RegisterBenchmark("DbgPrint/one_int/discarded", oneCall, false);
  benchmark::RegisterBenchmark("DbgPrint/one_int/recorded_shared", oneCallShared)->Threads(2)->UseRealTime();
  benchmark::RegisterBenchmark("DbgPrint/read_back/stream", readBack, false)->Arg(1024);
  benchmark::RegisterBenchmark("DbgPrint/read_back/list", readBack, true)->Arg(1024);
}

}  // namespace pdbench
