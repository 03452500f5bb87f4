// ntsim's power manager, seen from an in-process test driver at the top of a
// root device's stack: PoCallDriver lets one query or set power IRP of each
// kind (system, device) be active per device and queues the next until
// PoStartNextPowerIrp releases the active one; the verifier accounts
// PoStartNextPowerIrp per IRP and stack level; PoRequestPowerIrp refuses the
// minor codes the power manager cannot send.
#include "ntsim_test.h"
#include "power_fixture.h"

#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

namespace pdkit::test::power {
namespace {

using namespace std::chrono_literals;

// A driver that holds every power IRP it receives until the test finishes it
// (passes it on to the root bus, which completes it).
class HoldingDriver {
 public:
  void attach(ntsim::Machine& machine, PDEVICE_OBJECT pdo) {
    PDRIVER_OBJECT driver = machine.createDriverObject();
    driver->MajorFunction[IRP_MJ_POWER] = &HoldingDriver::dispatchPower;
    ASSERT_EQ(IoCreateDevice(driver, sizeof(HoldingDriver*), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device_),
              STATUS_SUCCESS);
    *static_cast<HoldingDriver**>(device_->DeviceExtension) = this;
    lower_ = IoAttachDeviceToDeviceStack(device_, pdo);
    ASSERT_NE(lower_, nullptr);
    device_->Flags &= ~DO_DEVICE_INITIALIZING;
    pdo_ = pdo;
  }

  void detach() {
    if (device_ == nullptr) return;
    IoDetachDevice(pdo_);
    IoDeleteDevice(device_);
    device_ = nullptr;
  }

  PDEVICE_OBJECT device() const { return device_; }

  bool waitArrivals(size_t n, std::chrono::milliseconds timeout = 10000ms) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] { return arrived_.size() >= n; });
  }

  size_t arrivals() {
    std::lock_guard lock(mutex_);
    return arrived_.size();
  }

  PIRP irp(size_t i) {
    std::lock_guard lock(mutex_);
    return arrived_.at(i);
  }

  // Finishes a held IRP: started-next (as often as asked) and passed down to the bus.
  void finish(PIRP irp, int startNext = 1) {
    for (int i = 0; i < startNext; ++i) PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    PoCallDriver(lower_, irp);
  }

 private:
  static NTSTATUS dispatchPower(PDEVICE_OBJECT device, PIRP irp) {
    auto* self = *static_cast<HoldingDriver**>(device->DeviceExtension);
    IoMarkIrpPending(irp);
    {
      std::lock_guard lock(self->mutex_);
      self->arrived_.push_back(irp);
    }
    self->cv_.notify_all();
    return STATUS_PENDING;
  }

  PDEVICE_OBJECT device_ = nullptr;
  PDEVICE_OBJECT lower_ = nullptr;
  PDEVICE_OBJECT pdo_ = nullptr;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<PIRP> arrived_;
};

class PowerManagerTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    node = &machine->createNode();
    holder.attach(*machine, node->pdo());
  }

  void TearDown() override {
    holder.detach();
    MachineTest::TearDown();
  }

  std::future<ntsim::IoResult> sendAsync(UCHAR minor, POWER_STATE_TYPE type, ULONG state) {
    return std::async(std::launch::async, [this, minor, type, state] {
      return machine->powerIrp(*node, minor, type, state, PowerActionSleep);
    });
  }

  ntsim::DeviceNode* node = nullptr;
  HoldingDriver holder;
};

struct PowerIrpKind {
  UCHAR minor;
  POWER_STATE_TYPE type;
  ULONG state;
};

struct SerialisationCase {
  const char* name;
  PowerIrpKind first;
  PowerIrpKind second;
  bool waits;  // the second is held back until the first is started-next
};

constexpr PowerIrpKind kSystemSet{IRP_MN_SET_POWER, SystemPowerState, PowerSystemSleeping3};
constexpr PowerIrpKind kSystemWake{IRP_MN_SET_POWER, SystemPowerState, PowerSystemWorking};
constexpr PowerIrpKind kSystemQuery{IRP_MN_QUERY_POWER, SystemPowerState, PowerSystemSleeping3};
constexpr PowerIrpKind kDeviceSet{IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3};
constexpr PowerIrpKind kDeviceWake{IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0};
constexpr PowerIrpKind kDeviceQuery{IRP_MN_QUERY_POWER, DevicePowerState, PowerDeviceD3};
constexpr PowerIrpKind kWaitWake{IRP_MN_WAIT_WAKE, SystemPowerState, PowerSystemSleeping3};

const SerialisationCase kSerialisation[] = {
    {"SystemSetThenSystemSet", kSystemSet, kSystemWake, true},
    {"SystemQueryThenSystemSet", kSystemQuery, kSystemSet, true},
    {"SystemSetThenSystemQuery", kSystemSet, kSystemQuery, true},
    {"DeviceSetThenDeviceSet", kDeviceSet, kDeviceWake, true},
    {"DeviceQueryThenDeviceSet", kDeviceQuery, kDeviceSet, true},
    {"SystemSetThenDeviceSet", kSystemSet, kDeviceSet, false},
    {"DeviceSetThenSystemSet", kDeviceSet, kSystemSet, false},
    {"SystemQueryThenDeviceQuery", kSystemQuery, kDeviceQuery, false},
    {"SystemSetThenWaitWake", kSystemSet, kWaitWake, false},
};

class SerialisationTest : public PowerManagerTest, public ::testing::WithParamInterface<SerialisationCase> {};

TEST_P(SerialisationTest, SecondPowerIrpOfTheSameKindWaitsForPoStartNextPowerIrp) {
  const SerialisationCase& c = GetParam();
  auto first = sendAsync(c.first.minor, c.first.type, c.first.state);
  ASSERT_TRUE(holder.waitArrivals(1));
  auto second = sendAsync(c.second.minor, c.second.type, c.second.state);

  if (c.waits) {
    EXPECT_FALSE(holder.waitArrivals(2, 100ms)) << "presented while the first was still active";
    // Starting the next one (without completing the first) presents the waiting IRP.
    PoStartNextPowerIrp(holder.irp(0));
    ASSERT_TRUE(holder.waitArrivals(2)) << "not presented after PoStartNextPowerIrp";
    EXPECT_EQ(first.wait_for(0ms), std::future_status::timeout) << "the first is still held";
    holder.finish(holder.irp(0), 0);
  } else {
    ASSERT_TRUE(holder.waitArrivals(2)) << "a power IRP of another kind must not wait";
    holder.finish(holder.irp(0));
  }
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(holder.irp(1));
  EXPECT_EQ(location->MinorFunction, c.second.minor);
  holder.finish(holder.irp(1), c.second.minor == IRP_MN_WAIT_WAKE ? 0 : 1);
  EXPECT_EQ(first.get().status, STATUS_SUCCESS);
  // The root bus cannot arm for wake: it leaves a wait-wake IRP not supported.
  EXPECT_EQ(second.get().status, c.second.minor == IRP_MN_WAIT_WAKE ? STATUS_NOT_SUPPORTED : STATUS_SUCCESS);
  EXPECT_EQ(holder.arrivals(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Kinds, SerialisationTest, ::testing::ValuesIn(kSerialisation),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(PowerManagerTest, QueuedIrpsArePresentedInOrderOneAtATime) {
  auto first = sendAsync(IRP_MN_SET_POWER, SystemPowerState, PowerSystemSleeping3);
  ASSERT_TRUE(holder.waitArrivals(1));
  auto second = sendAsync(IRP_MN_SET_POWER, SystemPowerState, PowerSystemHibernate);
  ASSERT_FALSE(holder.waitArrivals(2, 50ms));
  auto third = sendAsync(IRP_MN_SET_POWER, SystemPowerState, PowerSystemShutdown);
  ASSERT_FALSE(holder.waitArrivals(2, 50ms));

  holder.finish(holder.irp(0));
  ASSERT_TRUE(holder.waitArrivals(2));
  EXPECT_FALSE(holder.waitArrivals(3, 100ms)) << "the third waits for the second";
  EXPECT_EQ(IoGetCurrentIrpStackLocation(holder.irp(1))->Parameters.Power.State.SystemState, PowerSystemHibernate);
  holder.finish(holder.irp(1));
  ASSERT_TRUE(holder.waitArrivals(3));
  EXPECT_EQ(IoGetCurrentIrpStackLocation(holder.irp(2))->Parameters.Power.State.SystemState, PowerSystemShutdown);
  holder.finish(holder.irp(2));
  EXPECT_EQ(first.get().status, STATUS_SUCCESS);
  EXPECT_EQ(second.get().status, STATUS_SUCCESS);
  EXPECT_EQ(third.get().status, STATUS_SUCCESS);
}

// ---- the verifier's PoStartNextPowerIrp accounting, which the driver tests rely on

TEST_F(PowerManagerTest, CompletingWithoutPoStartNextPowerIrpIsReported) {
  auto sent = sendAsync(IRP_MN_SET_POWER, SystemPowerState, PowerSystemSleeping3);
  ASSERT_TRUE(holder.waitArrivals(1));
  holder.finish(holder.irp(0), 0);
  EXPECT_EQ(sent.get().status, STATUS_SUCCESS);
  EXPECT_EQ(takeViolations(), std::vector<std::string>{"PO_START_NEXT_MISSING"});
}

TEST_F(PowerManagerTest, PoStartNextPowerIrpTwiceAtOneLevelIsReported) {
  auto sent = sendAsync(IRP_MN_QUERY_POWER, DevicePowerState, PowerDeviceD3);
  ASSERT_TRUE(holder.waitArrivals(1));
  holder.finish(holder.irp(0), 2);
  EXPECT_EQ(sent.get().status, STATUS_SUCCESS);
  EXPECT_EQ(takeViolations(), std::vector<std::string>{"PO_START_NEXT_TWICE"});
}

TEST_F(PowerManagerTest, FailingASetPowerIrpIsReported) {
  auto sent = sendAsync(IRP_MN_SET_POWER, SystemPowerState, PowerSystemSleeping3);
  ASSERT_TRUE(holder.waitArrivals(1));
  PIRP irp = holder.irp(0);
  PoStartNextPowerIrp(irp);
  irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  EXPECT_EQ(sent.get().status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(takeViolations(), std::vector<std::string>{"SET_POWER_FAILED"});
}

TEST_F(PowerManagerTest, WaitWakeNeedsNoPoStartNextPowerIrp) {
  auto sent = sendAsync(IRP_MN_WAIT_WAKE, SystemPowerState, PowerSystemSleeping3);
  ASSERT_TRUE(holder.waitArrivals(1));
  holder.finish(holder.irp(0), 0);
  EXPECT_EQ(sent.get().status, STATUS_NOT_SUPPORTED) << "the root bus cannot arm for wake";
  EXPECT_TRUE(takeViolations().empty());
}

TEST_F(PowerManagerTest, PowerIrpsAreCreatedAsNotSupported) {
  auto sent = sendAsync(IRP_MN_QUERY_POWER, SystemPowerState, PowerSystemSleeping3);
  ASSERT_TRUE(holder.waitArrivals(1));
  PIRP irp = holder.irp(0);
  EXPECT_EQ(irp->IoStatus.Status, STATUS_NOT_SUPPORTED);
  PoStartNextPowerIrp(irp);
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  EXPECT_EQ(sent.get().status, STATUS_NOT_SUPPORTED);
}

// ---- PoRequestPowerIrp

struct RequestRecord {
  std::mutex mutex;
  int calls = 0;
  UCHAR minor = 0;
  ULONG state = 0;
  IO_STATUS_BLOCK status{};
};

void NTAPI recordRequest(PDEVICE_OBJECT, UCHAR minor, POWER_STATE state, PVOID context, PIO_STATUS_BLOCK status) {
  auto* record = static_cast<RequestRecord*>(context);
  std::lock_guard lock(record->mutex);
  ++record->calls;
  record->minor = minor;
  record->state = state.DeviceState;
  record->status = *status;
}

struct RefusedMinor {
  const char* name;
  UCHAR minor;
};

// The power manager sends query, set and wait-wake IRPs only; a power-sequence IRP is a driver's own.
const RefusedMinor kRefusedMinors[] = {
    {"PowerSequence", IRP_MN_POWER_SEQUENCE},
    {"Minor4", 4},
    {"Minor0xFF", 0xFF},
};

class RefusedMinorTest : public PowerManagerTest, public ::testing::WithParamInterface<RefusedMinor> {};

TEST_P(RefusedMinorTest, PoRequestPowerIrpReturnsInvalidParameter2WithoutCallback) {
  RequestRecord record;
  POWER_STATE state;
  state.DeviceState = PowerDeviceD3;
  EXPECT_EQ(PoRequestPowerIrp(node->pdo(), GetParam().minor, state, recordRequest, &record, nullptr),
            STATUS_INVALID_PARAMETER_2);
  EXPECT_FALSE(holder.waitArrivals(1, 50ms)) << "nothing was sent";
  EXPECT_EQ(record.calls, 0);
}

INSTANTIATE_TEST_SUITE_P(Minors, RefusedMinorTest, ::testing::ValuesIn(kRefusedMinors),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(PowerManagerTest, PoRequestPowerIrpSendsToTheTopAndCallsBackOnceWithTheFinalStatus) {
  RequestRecord record;
  POWER_STATE state;
  state.DeviceState = PowerDeviceD2;
  // Asked for the physical device object, sent to the top of its stack.
  EXPECT_EQ(PoRequestPowerIrp(node->pdo(), IRP_MN_QUERY_POWER, state, recordRequest, &record, nullptr), STATUS_PENDING);
  ASSERT_TRUE(holder.waitArrivals(1));
  PIRP irp = holder.irp(0);
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  EXPECT_EQ(location->DeviceObject, holder.device());
  EXPECT_EQ(location->Parameters.Power.Type, DevicePowerState);
  EXPECT_EQ(location->Parameters.Power.State.DeviceState, PowerDeviceD2);
  EXPECT_EQ(irp->IoStatus.Status, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(record.calls, 0) << "not before completion";
  PoStartNextPowerIrp(irp);
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 0x42;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  std::lock_guard lock(record.mutex);
  EXPECT_EQ(record.calls, 1);
  EXPECT_EQ(record.minor, IRP_MN_QUERY_POWER);
  EXPECT_EQ(record.state, ULONG{PowerDeviceD2});
  EXPECT_EQ(record.status.Status, STATUS_SUCCESS);
  EXPECT_EQ(record.status.Information, 0x42u);
}

TEST_F(PowerManagerTest, PoRequestPowerIrpBuildsAWaitWakeWithItsSystemStateAndHandsItOut) {
  RequestRecord record;
  POWER_STATE state;
  state.SystemState = PowerSystemSleeping3;
  PIRP requested = nullptr;
  EXPECT_EQ(PoRequestPowerIrp(node->pdo(), IRP_MN_WAIT_WAKE, state, recordRequest, &record, &requested),
            STATUS_PENDING);
  ASSERT_TRUE(holder.waitArrivals(1));
  PIRP irp = holder.irp(0);
  EXPECT_EQ(requested, irp) << "a wait-wake IRP is handed out through the IRP pointer";
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  EXPECT_EQ(location->MinorFunction, IRP_MN_WAIT_WAKE);
  EXPECT_EQ(location->Parameters.WaitWake.PowerState, PowerSystemSleeping3);
  holder.finish(irp, 0);
  std::lock_guard lock(record.mutex);
  EXPECT_EQ(record.calls, 1);
  EXPECT_EQ(record.minor, IRP_MN_WAIT_WAKE);
  EXPECT_EQ(record.status.Status, STATUS_NOT_SUPPORTED) << "the root bus cannot arm for wake";
}

}  // namespace
}  // namespace pdkit::test::power
