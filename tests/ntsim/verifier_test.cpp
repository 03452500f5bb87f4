// Every verifier rule, proved by the faulty driver breaking it: the rule is
// reported once, by name, and the report names the IRP or object involved.
#include "inproc.h"

#include "tests/ntsim/faulty_codes.h"

#include <cstdlib>

namespace pdkit::test {
namespace {

class VerifierTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    boot("faulty");
  }

  void boot(const std::string& module) {
    driver = &machine->load(driverPath(module));
    node = &machine->addDevice(*driver);
    ASSERT_EQ(node->addDeviceStatus(), STATUS_SUCCESS);
    auto open = machine->open("\\\\.\\FAULTY");
    ASSERT_EQ(open.result.status, STATUS_SUCCESS);
    handle = open.handle;
  }

  void TearDown() override {
    if (handle != 0 && machine->isOpen(handle)) machine->close(handle);
    MachineTest::TearDown();
  }

  ntsim::IoResult request(FaultyRequest which, void* out = nullptr, ULONG outLength = 0) {
    machine->clearDebugOutput();
    return machine->deviceIoControl(handle, FAULTY_CODE(which), nullptr, 0, out, outLength);
  }

  // The address the driver printed as "faulty: %p", as ntsim's reports write it.
  std::string named() const {
    for (const auto& line : kd()) {
      if (line.rfind("faulty: ", 0) == 0 && line.find("IoCallDriver") == std::string::npos) {
        auto value = std::strtoull(line.c_str() + 8, nullptr, 16);
        return hexAddress(reinterpret_cast<void*>(static_cast<uintptr_t>(value)));
      }
    }
    ADD_FAILURE() << "the faulty driver named nothing";
    return "(nothing)";
  }

  // Exactly one report, of this rule, naming what the driver named.
  void expectOnly(const std::string& rule) {
    auto all = machine->violations();
    ASSERT_EQ(all.size(), 1u) << (all.empty() ? "no report" : all[0].rule + ": " + all[0].detail + " ...");
    EXPECT_EQ(all[0].rule, rule);
    std::string subject = named();
    EXPECT_NE(all[0].detail.find(subject), std::string::npos) << all[0].detail << " does not name " << subject;
    machine->clearViolations();
  }

  void closeAndUnload() {
    machine->close(handle);
    handle = 0;
    machine->clearDebugOutput();
    machine->unload(*driver);
  }

  ntsim::Driver* driver = nullptr;
  ntsim::DeviceNode* node = nullptr;
  ntsim::Handle handle = 0;
};

TEST_F(VerifierTest, WellBehavedRequestIsNotReported) {
  EXPECT_EQ(request(FAULTY_BEHAVE).status, STATUS_SUCCESS);
  EXPECT_EQ(machine->pnp(*node, IRP_MN_START_DEVICE).status, STATUS_SUCCESS);
  EXPECT_TRUE(machine->violations().empty());
}

TEST_F(VerifierTest, EachRuleBrokenInADispatchRoutineIsReported) {
  struct Case {
    FaultyRequest request;
    const char* rule;
  };
  const Case cases[] = {
      {FAULTY_COMPLETE_TWICE, "IRP_COMPLETED_TWICE"},
      {FAULTY_PENDING_NOT_MARKED, "PENDING_NOT_MARKED"},
      {FAULTY_MARKED_NOT_RETURNED, "PENDING_MARKED_NOT_RETURNED"},
      {FAULTY_STATUS_MISMATCH, "STATUS_MISMATCH"},
      {FAULTY_COMPLETE_WITH_PENDING, "COMPLETED_WITH_PENDING"},
      {FAULTY_NO_MORE_STACK_LOCATIONS, "NO_MORE_IRP_STACK_LOCATIONS"},
      {FAULTY_RELEASE_UNKNOWN_TAG, "REMOVE_LOCK_RELEASE_UNKNOWN_TAG"},
      {FAULTY_REMOVE_LOCK_BAD_SIZE, "REMOVE_LOCK_BAD_SIZE"},
      {FAULTY_REMOVE_LOCK_INITIALISED_TWICE, "REMOVE_LOCK_INITIALISED_TWICE"},
      {FAULTY_FREE_POOL_TWICE, "POOL_DOUBLE_FREE"},
      {FAULTY_WAIT_AT_DISPATCH, "WAIT_AT_DISPATCH_LEVEL"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rule);
    request(c.request);
    expectOnly(c.rule);
  }
  // The machine goes on: a good request afterwards is fine.
  EXPECT_EQ(request(FAULTY_BEHAVE).status, STATUS_SUCCESS);
  EXPECT_TRUE(machine->violations().empty());
}

TEST_F(VerifierTest, ProgramSeesWhatTheDispatchRoutineReturned) {
  auto result = request(FAULTY_STATUS_MISMATCH);
  EXPECT_EQ(result.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(result.win32, 31u);
  expectOnly("STATUS_MISMATCH");
}

TEST_F(VerifierTest, InformationBeyondTheOutputBufferIsReportedAndNotCopied) {
  char out[12];
  std::memset(out, '-', sizeof out);
  request(FAULTY_INFORMATION_EXCEEDS_BUFFER, out, 4);
  expectOnly("INFORMATION_EXCEEDS_BUFFER");
  EXPECT_EQ(std::string(out, sizeof out), "xxxx--------");
}

TEST_F(VerifierTest, PendingNotPropagatedByACompletionRoutine) {
  ntsim::BusBehaviour bus = node->bus();
  bus.pend = true;
  node->setBus(bus);
  machine->clearDebugOutput();
  auto result = machine->pnp(*node, IRP_MN_QUERY_PNP_DEVICE_STATE);
  EXPECT_EQ(result.status, STATUS_NOT_SUPPORTED);
  expectOnly("PENDING_NOT_PROPAGATED");
  // The same pended bus under a driver that skips its location is fine.
  EXPECT_EQ(machine->pnp(*node, IRP_MN_START_DEVICE).status, STATUS_SUCCESS);
  EXPECT_TRUE(machine->violations().empty());
}

TEST_F(VerifierTest, PowerIrpSentWithIoCallDriver) {
  machine->clearDebugOutput();
  auto result = machine->powerIrp(*node, IRP_MN_QUERY_POWER, SystemPowerState, PowerSystemSleeping3, PowerActionSleep);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  expectOnly("POWER_IRP_SENT_WITH_IOCALLDRIVER");
  // Passed on with PoCallDriver, the set is fine.
  machine->powerIrp(*node, IRP_MN_SET_POWER, SystemPowerState, PowerSystemSleeping3, PowerActionSleep);
  EXPECT_TRUE(machine->violations().empty());
}

TEST_F(VerifierTest, RequestNeverCompletedIsReportedAfterTheHangTimeout) {
  machine->setHangTimeout(std::chrono::milliseconds(100));
  char out[4] = {};
  auto start = std::chrono::steady_clock::now();
  auto result = request(FAULTY_NEVER_COMPLETE, out, sizeof out);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(result.status, STATUS_IO_TIMEOUT);
  EXPECT_FALSE(NT_SUCCESS(result.status));
  EXPECT_EQ(result.win32, 121u);  // ERROR_SEM_TIMEOUT
  std::string irp = named();
  expectOnly("IRP_NEVER_COMPLETED");
  // Completed late, the request goes quietly (and is freed).
  EXPECT_EQ(request(FAULTY_COMPLETE_HELD).status, STATUS_SUCCESS);
  EXPECT_TRUE(machine->violations().empty());
  (void)irp;
}

TEST_F(VerifierTest, RequestStillHeldWhenTheMachineGoesIsFreed) {
  expectViolations = true;
  machine->setHangTimeout(std::chrono::milliseconds(50));
  char out[4] = {};
  request(FAULTY_NEVER_COMPLETE, out, sizeof out);
  expectOnly("IRP_NEVER_COMPLETED");
}

TEST_F(VerifierTest, RemoveLockHeldWhenTheDeviceIsDeletedAtUnload) {
  request(FAULTY_HOLD_REMOVE_LOCK);
  std::string lock = named();
  closeAndUnload();
  auto all = machine->violations();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].rule, "REMOVE_LOCK_HELD_AT_DELETE");
  EXPECT_NE(all[0].detail.find(lock), std::string::npos) << all[0].detail;
  EXPECT_NE(all[0].detail.find("tests/ntsim/faulty_driver.cpp:"), std::string::npos) << all[0].detail;
  machine->clearViolations();
}

TEST_F(VerifierTest, PoolLeakedAtUnload) {
  request(FAULTY_LEAK_POOL);
  std::string block = named();
  EXPECT_EQ(machine->poolOutstanding(driver), 1u);
  closeAndUnload();
  auto all = machine->violations();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].rule, "POOL_LEAK");
  EXPECT_NE(all[0].detail.find(block), std::string::npos) << all[0].detail;
  EXPECT_NE(all[0].detail.find("Fult"), std::string::npos) << all[0].detail;
  machine->clearViolations();
}

TEST_F(VerifierTest, DeviceLeftAtUnload) {
  request(FAULTY_LEAVE_DEVICE);
  std::string device = named();
  closeAndUnload();
  auto all = machine->violations();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].rule, "DEVICE_LEFT_AT_UNLOAD");
  EXPECT_NE(all[0].detail.find(device), std::string::npos) << all[0].detail;
  machine->clearViolations();
}

// Driver Verifier's code-integrity check, on Windows 8 and later, for a
// driver built for Windows 8 or later.
TEST_F(VerifierTest, ExecutablePoolAndMappingsAreReportedForADriverBuiltForWindows8OnWindows8) {
  struct Case {
    const char* module;
    ntsim::WindowsVersion windows;
    bool reported;
  };
  const Case cases[] = {
      {"faulty_win8", {10, 0, 19045}, true},
      {"faulty_win8", {6, 2, 9200}, true},
      {"faulty_win8", {6, 1, 7601}, false},  // no NX memory to ask for before Windows 8
      {"faulty", {10, 0, 19045}, false},     // a driver that declares no version
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.module) + " on " + std::to_string(c.windows.major) + "." +
                 std::to_string(c.windows.minor));
    handle = 0;
    machine.reset();
    machine = std::make_unique<ntsim::Machine>();
    machine->setWindowsVersion(c.windows);
    boot(c.module);
    for (auto [which, rule] : {std::pair{FAULTY_EXECUTABLE_POOL, "EXECUTABLE_POOL"},
                               std::pair{FAULTY_EXECUTABLE_MAPPING, "EXECUTABLE_MAPPING"}}) {
      EXPECT_EQ(request(which).status, STATUS_SUCCESS);
      if (c.reported) {
        expectOnly(rule);
      } else {
        EXPECT_TRUE(machine->violations().empty()) << machine->violations()[0].rule;
      }
    }
  }
}

TEST_F(VerifierTest, CleanUnloadReportsNothing) {
  closeAndUnload();
  EXPECT_TRUE(machine->violations().empty());
  EXPECT_FALSE(driver->loaded());
}

}  // namespace
}  // namespace pdkit::test
