// Power tests: the driver booted by the common fixture, the debugger lines
// its power paths print, and what a power path leaves behind (remove lock,
// PoSetPowerState calls, recorded states, the root bus's view).
#pragma once

#include "driver_fixture.h"
#include "lower_filter.h"

#include <initializer_list>
#include <string>
#include <tuple>
#include <vector>

namespace pdkit::test::power {

// ---- the texts the power code prints, char for char
namespace trace {
inline const std::string Begin = "IRP_MJ_POWER Received : Begin\r\n";
inline const std::string End = "IRP_MJ_POWER Received : End\r\n";
inline const std::string SetPower = "System or device power is going to be change\r\n";
inline const std::string QueryPower = "Power Manager query power state\r\n";
inline const std::string WaitWake = "IRP_MN_WAIT_WAKE Received\r\n";
inline const std::string PowerSequence = "IRP_MN_POWER_SEQUENCE Received\r\n";
inline const std::string AcquireFailed = "Failed in Acquire Remove Lock\r\n";

inline const std::string DeviceQuery = "Device power state query";  // runs on
inline const std::string DeviceQueryReady = "Ready to pass down IRP for device power state query";
inline const std::string DeviceQueryCompletion = "In completion routine for IRP_MN_QUERY_POWER for device power";
inline const std::string DeviceQueryLowerFailed =
    "The lower-layered driver failed IRP_MN_QUERY_POWER handling for Device Power State\r\n";
inline const std::string DeviceChange = "Device power state change\r\n";
inline const std::string DeviceUp = "Device power up\r\n";
inline const std::string DeviceDown = "Device power down\r\n";
inline const std::string DeviceChangeReady = "Ready to pass down IRP for device power state change";
inline const std::string DeviceSetCompletion = "In completion routine for IRP_MN_SET_POWER for device power";
inline std::string deviceState(long state) { return "Device power state = " + std::to_string(state) + "\r\n"; }

inline const std::string SystemQuery = "System power state query\r\n";
inline const std::string SystemQueryReady = "Ready to pass down IRP for system power state query";
inline const std::string SystemQueryCompletion = "In completion routine for IRP_MN_QUERY_POWER for system power";
inline const std::string SystemQueryLowerFailed =
    "The lower-layered driver failed IRP_MN_QUERY_POWER handling for system power state\r\n";
inline const std::string DeviceQuerySent = "IRP_MN_QUERY_POWER for device power has been send successfully";
inline const std::string DeviceQuerySendFailed = "Send IRP_MN_QUERY_POWER for Device Power failed";
inline const std::string DeviceQueryCallback = "In callback routine for PoRequestPowerIrp of device power query\r\n";

inline const std::string SystemChange = "System power state change\r\n";
inline const std::string SystemChangeReady = "Ready to pass down IRP for system power state change";
inline const std::string SystemSetCompletion = "In completion routine for IRP_MN_SET_POWER for system power";
inline const std::string SystemSetLowerFailed =
    "The lower-layered driver failed IRP_MN_SET_POWER handling for System Power State\r\n";
inline const std::string DeviceSetSent = "IRP_MN_SET_POWER for device power has been send successfully";
inline const std::string DeviceSetSendFailed = "Send IRP_MN_SET_POWER for Device Power failed";
inline const std::string DeviceSetCallback = "In callback routine for PoRequestPowerIrp of device power setting\r\n";
inline std::string systemState(long state) { return "System power state = " + std::to_string(state) + "\r\n"; }
}  // namespace trace

// ---- the lines of each device branch, as far as the driver's own thread prints them

// A device query up to passing it down, then its completion routine.
inline Lines deviceQueryLines(long state, bool lowerFailed = false) {
  Lines lines{trace::Begin,
              trace::QueryPower,
              trace::DeviceQuery,
              trace::deviceState(state),
              trace::DeviceQueryReady,
              trace::DeviceQueryCompletion};
  if (lowerFailed) lines.push_back(trace::DeviceQueryLowerFailed);
  return lines;
}

// How a device set is sorted.
enum class SetPath { Up, Down, Neither };

inline const char* pathName(SetPath path) {
  switch (path) {
    case SetPath::Up: return "power-up";
    case SetPath::Down: return "power-down";
    case SetPath::Neither: return "neither";
  }
  return "?";
}

// A device set: power-up includes its completion routine's line (the lower
// driver completes before the callback runs); power-down prints nothing after
// passing down; neither (D1 or D2, deeper, outside hibernation and shutdown)
// is passed down like a power-up, without its line, and recorded once the
// bus has reached the state.
inline Lines deviceSetLines(long state, SetPath path) {
  Lines lines{trace::Begin, trace::SetPower, trace::DeviceChange, trace::deviceState(state)};
  switch (path) {
    case SetPath::Up:
      lines.insert(lines.end(), {trace::DeviceUp, trace::DeviceChangeReady, trace::DeviceSetCompletion});
      break;
    case SetPath::Down: lines.insert(lines.end(), {trace::DeviceDown, trace::DeviceChangeReady}); break;
    case SetPath::Neither: lines.insert(lines.end(), {trace::DeviceChangeReady, trace::DeviceSetCompletion}); break;
  }
  return lines;
}

// A system query up to passing it down, and its completion routine's first line.
inline Lines systemQueryHead(long state) {
  return {trace::Begin,
          trace::QueryPower,
          trace::SystemQuery,
          trace::systemState(state),
          trace::SystemQueryReady,
          trace::SystemQueryCompletion};
}

inline Lines systemSetHead(long state) {
  return {trace::Begin,
          trace::SetPower,
          trace::SystemChange,
          trace::systemState(state),
          trace::SystemChangeReady,
          trace::SystemSetCompletion};
}

// A whole system query whose device query runs on the same stack: the
// callback comes before PoRequestPowerIrp returns, so the sent line is last.
inline Lines systemQueryLines(long systemState, long deviceState) {
  return concat({systemQueryHead(systemState),
                 deviceQueryLines(deviceState),
                 {trace::DeviceQueryCallback, trace::DeviceQuerySent}});
}

inline Lines systemSetLines(long systemState, long deviceState, SetPath path) {
  Lines device = deviceSetLines(deviceState, path);
  device.push_back(trace::DeviceSetCallback);
  return concat({systemSetHead(systemState), device, {trace::DeviceSetSent}});
}

// A capability report that maps every system state through the given table.
inline DEVICE_CAPABILITIES reportWith(std::initializer_list<DEVICE_POWER_STATE> states) {
  DEVICE_CAPABILITIES caps = ntsim::rootBusCapabilities();
  int i = 0;
  for (DEVICE_POWER_STATE state : states) caps.DeviceState[i++] = state;
  return caps;
}

class PowerTestBase : public DriverTest {
 protected:
  void TearDown() override {
    // A stack with a test filter is taken down by the test: the driver first, then the filter.
    if (filter.attached()) {
      machine->unload(*driver);
      filter.detach();
    }
    DriverTest::TearDown();
  }

  // Boots the driver as DriverTest does, then notes what a power path must
  // leave as it found: the remove lock, the driver's pool, the allocations.
  void boot(const DriverKind& kind, const BootOptions& options = {}) {
    DriverTest::boot(kind, options);
    if (HasFatalFailure()) return;
    startLockCount = lockCount();
    startPool = machine->poolOutstanding(driver);
    startAllocations = machine->poolAllocations();
    ASSERT_EQ(startLockCount, 1);
    ASSERT_EQ(extension()->SystemPowerState, PowerSystemWorking);
    ASSERT_EQ(extension()->DevicePowerState, PowerDeviceD0);
    ASSERT_TRUE(machine->powerStateCalls(fdo()).empty());
  }

  // Boots with the test filter between the driver and the root bus.
  void bootAboveFilter(const DriverKind& kind) {
    boot(kind, {.below = [this](PDEVICE_OBJECT pdo) { filter.attach(*machine, pdo); }});
  }

  std::vector<ULONG> powerStates() const {
    std::vector<ULONG> states;
    for (const auto& call : machine->powerStateCalls(fdo())) {
      EXPECT_EQ(call.type, DevicePowerState) << "the driver announces device power states only";
      states.push_back(call.state);
    }
    return states;
  }

  // Power IRPs that reached the bottom of the stack: (minor, type, state, action).
  std::vector<std::tuple<int, ULONG, ULONG, ULONG>> busPower() const {
    std::vector<std::tuple<int, ULONG, ULONG, ULONG>> seen;
    for (const auto& record : node->busRecords()) {
      if (record.major == IRP_MJ_POWER)
        seen.emplace_back(record.minor, record.powerType, record.powerState, record.shutdownType);
    }
    return seen;
  }

  ntsim::IoResult send(UCHAR minor, POWER_STATE_TYPE type, ULONG state, POWER_ACTION action = PowerActionNone) {
    return machine->powerIrp(*node, minor, type, state, action);
  }

  // After a path: the remove lock is back at its starting count with no tag
  // held, and nothing was allocated on the way.
  void expectSettled() const {
    EXPECT_EQ(lockCount(), startLockCount);
    EXPECT_TRUE(machine->removeLockTags(&extension()->RemoveLock).empty());
    EXPECT_EQ(machine->poolOutstanding(driver), startPool);
    EXPECT_EQ(machine->poolAllocations(), startAllocations) << "no power path allocates";
  }

  // The rules broken since the last call, which must be exactly these.
  void expectViolationsExactly(const std::vector<std::string>& rules) { EXPECT_EQ(takeViolations(), rules); }

  LowerFilter filter;
  LONG startLockCount = 0;
  size_t startPool = 0;
  size_t startAllocations = 0;
};

// Parametrised over the three drivers.
class PowerTest : public PowerTestBase, public ::testing::WithParamInterface<DriverKind> {};

// Names a (driver, case) parameter "<driver>_<case name>".
struct CaseName {
  template <class Case>
  std::string operator()(const ::testing::TestParamInfo<std::tuple<DriverKind, Case>>& p) const {
    return std::string(std::get<0>(p.param).module) + "_" + std::get<1>(p.param).name;
  }
};

}  // namespace pdkit::test::power
