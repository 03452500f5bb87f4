// The whole path: a program's ReadFile, WriteFile and DeviceIoControl through
// ntsim's I/O manager to the driver and back, per driver, from 1, 2 and 4
// threads (each with its own handle): requests per second and heap
// allocations per request. With one thread, the driver's own part of the
// request (its dispatch routine called directly) is measured in the same run
// and shown as the ratio whole / driver. Further runs show that ntsim's cost
// per request does not grow with the handles open or the requests served.
#include "alloc_counter.h"
#include "benchmarks.h"
#include "floor.h"
#include "prepared_request.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <string>
#include <vector>

namespace pdbench {
namespace {

constexpr ULONG kBytes = 1024;
// Each thread clears the recorded output this often, inside the timed loop.
constexpr int64_t kClearEvery = 1024;

// What the threads of one run share: the machine, the booted driver, one
// handle per thread and the handles left open and idle.
struct Rig {
  Rig(const DriverKind& kind, int threads, int idleHandles) : booted(machine, kind) {
    for (int i = 0; i < threads; ++i) handles.push_back(open(kind));
    for (int i = 0; i < idleHandles; ++i) idle.push_back(open(kind));
  }
  ~Rig() {
    for (ntsim::Handle handle : handles) machine.close(handle);
    for (ntsim::Handle handle : idle) machine.close(handle);
  }
  ntsim::Handle open(const DriverKind& kind) {
    auto opened = machine.open(kind.device);
    if (opened.result.failed()) throw std::runtime_error(std::string("cannot open ") + kind.device);
    return opened.handle;
  }

  ntsim::Machine machine;
  BootedDriver booted;
  std::vector<ntsim::Handle> handles;
  std::vector<ntsim::Handle> idle;
  // CPU time the threads spent in their loops, and how many have added theirs.
  std::atomic<int64_t> cpuNanoseconds{0};
  std::atomic<int> reported{0};
};

// The rig of the run in progress; made by thread 0 before the threads start
// their loops and dropped by it after all of them finished.
std::unique_ptr<Rig> g_rig;

struct Request {
  Op op;
  std::vector<uint8_t> buffer = std::vector<uint8_t>(kBytes, 0x5A);

  ntsim::IoResult send(ntsim::Machine& machine, ntsim::Handle handle) {
    switch (op) {
      case Op::Read: return machine.read(handle, buffer.data(), kBytes);
      case Op::Write: return machine.write(handle, buffer.data(), kBytes);
      case Op::Control: break;
    }
    return machine.deviceIoControl(handle, IOCTL_GET_DESCRIPTION, nullptr, 0, buffer.data(), kBytes);
  }
};

struct Shape {
  const DriverKind* kind;
  Op op;
  int idleHandles = 0;
  int64_t servedBefore = 0;  // requests sent before the timed loop
};

void wholePath(benchmark::State& state, Shape shape) {
  const bool first = state.thread_index() == 0;
  Request request{shape.op};
  uint64_t allocationsBefore = 0;
  if (first) {
    g_rig = std::make_unique<Rig>(*shape.kind, state.threads(), shape.idleHandles);
    for (int64_t i = 0; i < shape.servedBefore; ++i) {
      request.send(g_rig->machine, g_rig->handles[0]);
      if (i % kClearEvery == 0) g_rig->machine.clearDebugOutput();
    }
    g_rig->machine.clearDebugOutput();
    allocationsBefore = allocationCount();
  }

  Rig* rig = nullptr;
  ntsim::Handle handle = 0;
  int64_t failed = 0;
  int64_t sinceClear = 0;
  LoopClock clock;
  std::chrono::steady_clock::time_point began;
  clock.start();
  for (auto _ : state) {
    if (rig == nullptr) {  // the rig is complete once every thread is in the loop
      rig = g_rig.get();
      handle = rig->handles[state.thread_index()];
      began = std::chrono::steady_clock::now();
    }
    failed += request.send(rig->machine, handle).failed() ? 1 : 0;
    if (++sinceClear == kClearEvery) {
      rig->machine.clearDebugOutput();
      sinceClear = 0;
    }
  }
  clock.stop();
  if (failed != 0 && shape.op != Op::Control) state.SkipWithError("requests failed");
  rig->cpuNanoseconds.fetch_add(static_cast<int64_t>(clock.nanosecondsPer(1)));
  rig->reported.fetch_add(1);
  if (!first) return;
  while (rig->reported.load() != state.threads()) std::this_thread::yield();

  // The threads start together and thread 0 passes the end of the loop only
  // once all of them are done: its own span is the run's, from the first
  // request to the last. (Each thread's own span would overstate the rate
  // when threads outnumber cores and run one after another.)
  const double requests = static_cast<double>(state.iterations()) * state.threads();
  const std::chrono::duration<double> span = std::chrono::steady_clock::now() - began;
  state.counters["requests_per_s"] = span.count() > 0 ? requests / span.count() : 0;
  // CPU time per request, all threads together: what a request costs
  // whether or not the threads found a core to run on.
  state.counters["cpu_ns"] = static_cast<double>(rig->cpuNanoseconds.load()) / requests;
  if (countingAllocations()) {
    state.counters["allocs_per_req"] = static_cast<double>(allocationCount() - allocationsBefore) / requests;
  }
  if (state.threads() == 1 && shape.idleHandles == 0 && shape.servedBefore == 0) {
    // The driver's own part of the same request, on the same machine.
    PreparedRequest direct(g_rig->booted, shape.op, kBytes);
    int64_t calls = 0;
    double driverNs = nanosecondsPerCall(
        [&] {
          direct.send();
          if (++calls % kClearEvery == 0) g_rig->machine.clearDebugOutput();
        },
        state.iterations());
    g_rig->machine.clearDebugOutput();
    state.counters["driver_ns"] = driverNs;
    state.counters["x_driver"] = driverNs > 0 ? clock.nanosecondsPer(state.iterations()) / driverNs : 0;
  }
  if (!g_rig->machine.violations().empty()) state.SkipWithError(g_rig->machine.violations().front().rule.c_str());
  g_rig.reset();
}

}  // namespace

void registerWholePathBenchmarks() {
  for (const DriverKind* kind : kDrivers) {
    for (Op op : {Op::Read, Op::Write, Op::Control}) {
      if (op != Op::Control && !kind->hasStore) continue;
      std::string name = std::string("WholePath/") + kind->module + "/" + opName(op);
      benchmark::RegisterBenchmark(name.c_str(), wholePath, Shape{kind, op})
          ->Threads(1)
          ->Threads(2)
          ->Threads(4)
          ->UseRealTime();
    }
  }
  // The same request with 1 and with 100 handles open, and before and after 200000 requests served.
  for (const DriverKind* kind : {&kTavrin, &kKelvane}) {
    for (int handles : {0, 99}) {
      std::string name = std::string("OpenHandles/") + kind->module + "/read/" + std::to_string(handles + 1);
      benchmark::RegisterBenchmark(name.c_str(), wholePath, Shape{kind, Op::Read, handles})->UseRealTime();
    }
    for (int64_t served : {int64_t{0}, int64_t{200000}}) {
      std::string name = std::string("RequestsServed/") + kind->module + "/read/" + std::to_string(served);
      benchmark::RegisterBenchmark(name.c_str(), wholePath, Shape{kind, Op::Read, 0, served})->UseRealTime();
    }
  }
}

}  // namespace pdbench
