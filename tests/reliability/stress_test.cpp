// Stress, run under TSan too: several threads read, write and ask for the
// table and the description on handles of their own, while one thread keeps
// re-querying the capabilities with two alternating bus reports and another
// cycles the system through sleep and wake. Checked: no read ever sees a
// write half done, every table reply is one of the two reports field by
// field, every request is answered as it should be, every IRP is completed
// exactly once (the verifier stays silent), the remove lock is back at its
// starting count, and nothing is leaked at unload.
#include "reliability_fixture.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace pdkit::test::reliability {
namespace {

struct StressCase {
  DriverKind kind;
  bool pend;  // the bus completes its requests later, from threads of its own
};

void PrintTo(const StressCase& c, std::ostream* os) { *os << c.kind.module << (c.pend ? "_pending" : ""); }

std::string stressName(const ::testing::TestParamInfo<StressCase>& info) {
  return std::string(info.param.kind.module) + (info.param.pend ? "_BusPending" : "_BusAtOnce");
}

// Two capability reports that differ in every field the table carries.
DEVICE_CAPABILITIES reportA() {
  DEVICE_CAPABILITIES caps = ntsim::rootBusCapabilities();
  caps.DeviceD1 = 1;
  caps.WakeFromD0 = 1;
  caps.WakeFromD2 = 1;
  caps.SystemWake = PowerSystemSleeping1;
  caps.DeviceWake = PowerDeviceD1;
  return caps;
}

DEVICE_CAPABILITIES reportB() {
  DEVICE_CAPABILITIES caps = ntsim::rootBusCapabilities();
  caps.DeviceD2 = 1;
  caps.WakeFromD1 = 1;
  caps.WakeFromD3 = 1;
  caps.SystemWake = PowerSystemSleeping3;
  caps.DeviceWake = PowerDeviceD3;
  caps.DeviceState[PowerSystemSleeping1] = PowerDeviceD2;  // still deeper than D0, so sleep stays a power-down
  return caps;
}

// Every 32-bit field of the reply comes from one of the two reports.
bool fieldsFromEitherReport(const CAPABILITY_TABLE& t) {
  auto either = [](int64_t value, int64_t a, int64_t b) { return value == a || value == b; };
  const DEVICE_CAPABILITIES a = reportA(), b = reportB();
  bool ok = t.CapabilitiesQueried == 1 && t.Reserved[0] == 0 && t.Reserved[1] == 0 && t.Reserved[2] == 0 &&
            either(t.DeviceD1, a.DeviceD1, b.DeviceD1) && either(t.DeviceD2, a.DeviceD2, b.DeviceD2) &&
            either(t.WakeFromD0, a.WakeFromD0, b.WakeFromD0) && either(t.WakeFromD1, a.WakeFromD1, b.WakeFromD1) &&
            either(t.WakeFromD2, a.WakeFromD2, b.WakeFromD2) && either(t.WakeFromD3, a.WakeFromD3, b.WakeFromD3) &&
            either(t.SystemWake, a.SystemWake, b.SystemWake) && either(t.DeviceWake, a.DeviceWake, b.DeviceWake);
  for (int i = 0; i < 7; ++i) ok = ok && either(t.DeviceState[i], a.DeviceState[i], b.DeviceState[i]);
  return ok;
}

class StressTest : public ReliabilityTest, public ::testing::WithParamInterface<StressCase> {};

TEST_P(StressTest, IoTableQueriesAndSleepCyclesTogether) {
  const StressCase& param = GetParam();
  boot(param.kind);
  setReport(reportA());
  ASSERT_EQ(machine->queryCapabilities(*node).status, STATUS_SUCCESS);
  setBusPend(param.pend);
  const LONG startCount = lockCount();

  constexpr int kWorkers = 3;
  constexpr int kRoundsEach = 60;
  // The workers go on until the other two threads have had a few turns each.
  constexpr int kMinQueries = 4, kMinCycles = 3;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  std::atomic<int> workersLeft{kWorkers};
  std::atomic<int> torn{0}, wrongAnswers{0}, tableMixes{0}, requests{0}, rounds{0}, queries{0}, cycles{0};
  auto othersHadTheirTurns = [&] {
    return (queries.load() >= kMinQueries && cycles.load() >= kMinCycles) ||
           std::chrono::steady_clock::now() > deadline;
  };

  std::vector<std::thread> threads;
  for (int w = 0; w < kWorkers; ++w) {
    threads.emplace_back([&, w] {
      // Two handles per worker, used in turn.
      ntsim::Handle handles[2] = {machine->open(param.kind.device).handle, machine->open(param.kind.device).handle};
      Bytes whole(DATA_BUFFER_SIZE), out(DATA_BUFFER_SIZE), table(sizeof(CAPABILITY_TABLE)), text(512);
      for (int round = 0; round < kRoundsEach || !othersHadTheirTurns(); ++round, ++rounds) {
        ntsim::Handle handle = handles[round % 2];
        if (param.kind.hasStore) {
          // A whole store of one byte value: a torn read shows as two values.
          std::memset(whole.data(), 'a' + (w * kRoundsEach + round) % 26, whole.size());
          auto wrote = machine->write(handle, whole.data(), DATA_BUFFER_SIZE);
          auto read = machine->read(handle, out.data(), DATA_BUFFER_SIZE);
          if (wrote.status != STATUS_SUCCESS || wrote.information != DATA_BUFFER_SIZE ||
              read.status != STATUS_SUCCESS || read.information != DATA_BUFFER_SIZE) {
            ++wrongAnswers;
          }
          for (uint8_t byte : out) {
            if (byte != out[0]) {
              ++torn;
              break;
            }
          }
          requests += 2;
        }
        auto reply = machine->deviceIoControl(handle, IOCTL_GET_CAPABILITY_TABLE, nullptr, 0, table.data(),
                                              static_cast<ULONG>(table.size()));
        CAPABILITY_TABLE copy;
        std::memcpy(&copy, table.data(), sizeof copy);
        if (reply.status != STATUS_SUCCESS || reply.information != sizeof(CAPABILITY_TABLE)) ++wrongAnswers;
        if (!fieldsFromEitherReport(copy)) ++tableMixes;
        auto described = machine->deviceIoControl(handle, IOCTL_GET_DESCRIPTION, nullptr, 0, text.data(),
                                                  static_cast<ULONG>(text.size()));
        if (described.status != STATUS_SUCCESS || described.information == 0) ++wrongAnswers;
        requests += 2;
      }
      for (ntsim::Handle handle : handles) machine->close(handle);
      --workersLeft;
    });
  }
  // Re-queries the capabilities, alternating the two reports, for as long as the workers run.
  threads.emplace_back([&] {
    for (int i = 0; workersLeft.load() > 0; ++i) {
      setReport(i % 2 ? reportA() : reportB());
      if (machine->queryCapabilities(*node).status != STATUS_SUCCESS) ++wrongAnswers;
      ++queries;
    }
  });
  // Cycles the system through sleep and wake meanwhile.
  threads.emplace_back([&] {
    while (workersLeft.load() > 0) {
      if (machine->systemPower(*node, PowerSystemSleeping3, PowerActionSleep).status != STATUS_SUCCESS) ++wrongAnswers;
      if (machine->systemPower(*node, PowerSystemWorking, PowerActionNone).status != STATUS_SUCCESS) ++wrongAnswers;
      ++cycles;
    }
  });
  for (auto& thread : threads) thread.join();
  ASSERT_TRUE(eventually([&] { return machine->busCompletionsInFlight() == 0; }));

  EXPECT_EQ(torn.load(), 0) << "reads that saw a write half done";
  EXPECT_EQ(wrongAnswers.load(), 0);
  EXPECT_EQ(tableMixes.load(), 0) << "table replies with a field from neither report";
  EXPECT_EQ(requests.load(), rounds.load() * (param.kind.hasStore ? 4 : 2));
  EXPECT_GE(rounds.load(), kWorkers * kRoundsEach);
  EXPECT_GE(queries.load(), kMinQueries);
  EXPECT_GE(cycles.load(), kMinCycles);
  // Every request and every handle gave its acquisition back.
  EXPECT_TRUE(eventually([&] { return lockCount() == startCount; })) << "lock count " << lockCount();
  EXPECT_TRUE(machine->removeLockTags(&extension()->RemoveLock).empty());
  EXPECT_EQ(extension()->SystemPowerState, PowerSystemWorking);
  EXPECT_EQ(extension()->DevicePowerState, PowerDeviceD0);
  EXPECT_EQ(machine->poolOutstanding(driver), deviceBlocks());
  // Double completions, missing PoStartNextPowerIrp, lock misuse and hangs
  // would all have been reported by now.
  expectNoViolations();
  machine->clearViolations();
  unloadClean();
}

INSTANTIATE_TEST_SUITE_P(Drivers, StressTest,
                         ::testing::Values(StressCase{kTavrin, false}, StressCase{kKelvane, false},
                                           StressCase{kOstrel, false}, StressCase{kTavrin, true},
                                           StressCase{kKelvane, true}, StressCase{kOstrel, true}),
                         stressName);

}  // namespace
}  // namespace pdkit::test::reliability
