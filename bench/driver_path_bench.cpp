// The driver path: each driver's DispatchRead, DispatchWrite and
// DispatchDeviceControl called on a prepared IRP, with the debugger's output
// discarded and with it recorded, next to the floor of the same request and
// its kernel-call floor, both measured in the same run.
#include "benchmarks.h"
#include "floor.h"
#include "kernel_floor.h"
#include "prepared_request.h"

#include <benchmark/benchmark.h>

#include <string>

namespace pdbench {
namespace {

constexpr ULONG kSizes[] = {16, 1024, 2000};
// Recorded output is cleared this often, inside the timed loop: freeing it is part of recording it.
constexpr int64_t kClearEvery = 4096;

void driverPath(benchmark::State& state, const DriverKind* kind, Op op, ULONG bytes, bool record) {
  ntsim::Machine machine;
  BootedDriver booted(machine, *kind);
  PreparedRequest request(booted, op, bytes);
  machine.setDebugCapture(true);
  machine.clearDebugOutput();  // what booting printed
  if (!NT_SUCCESS(request.send()) && op != Op::Control) {
    state.SkipWithError("the driver failed the request");
    return;
  }
  const size_t traces = machine.debugOutput().size();
  machine.setDebugCapture(record);
  machine.clearDebugOutput();

  int64_t sinceClear = 0;
  auto send = [&](PreparedRequest& prepared) {
    benchmark::DoNotOptimize(prepared.send());
    if (record && ++sinceClear == kClearEvery) {
      machine.clearDebugOutput();
      sinceClear = 0;
    }
  };
  LoopClock clock;
  clock.start();
  for (auto _ : state) send(request);
  clock.stop();

  // The floor moves the bytes the request moved: a 2000-byte transfer moves
  // the store's 1024, a description refused for a short buffer moves none;
  // a write also zeroes the rest of the store.
  const size_t moved = request.information();
  RequestFloor floor(moved, op == Op::Write && moved < DATA_BUFFER_SIZE ? DATA_BUFFER_SIZE - moved : 0);
  double floorNs = nanosecondsPerCall(floor, state.iterations());
  KernelFloor minimal(op, moved, traces);
  PreparedRequest minimalRequest(booted, op, bytes, KernelFloor::dispatch);
  double kernelNs = nanosecondsPerCall([&] { send(minimalRequest); }, state.iterations());
  double pathNs = clock.nanosecondsPer(state.iterations());
  state.counters["ns"] = pathNs;
  state.counters["floor_ns"] = floorNs;
  state.counters["x_floor"] = floorNs > 0 ? pathNs / floorNs : 0;
  state.counters["kernel_ns"] = kernelNs;
  state.counters["moved"] = static_cast<double>(request.information());
  state.SetBytesProcessed(state.iterations() * bytes);
  if (!machine.violations().empty()) state.SkipWithError(machine.violations().front().rule.c_str());
}

}  // namespace

void registerDriverPathBenchmarks() {
  for (const DriverKind* kind : kDrivers) {
    for (Op op : {Op::Read, Op::Write, Op::Control}) {
      if (op != Op::Control && !kind->hasStore) continue;  // Ostrel's reads and writes never reach it
      for (ULONG bytes : kSizes) {
        for (bool record : {false, true}) {
          std::string name = std::string("DriverPath/") + kind->module + "/" + opName(op) + "/" +
                             std::to_string(bytes) + (record ? "/recorded" : "/discarded");
          benchmark::RegisterBenchmark(name.c_str(), driverPath, kind, op, bytes, record);
        }
      }
    }
  }
}

}  // namespace pdbench
