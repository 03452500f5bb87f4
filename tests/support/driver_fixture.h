// Booting one of the three drivers on a fresh machine, and reading back what
// it keeps: the device extension, the remove lock, the store, the replies.
// Every test of a driver (its requests, power, reliability, pool use) starts
// from DriverTest::boot; what a group needs beyond it is a thin layer of its
// own (tests/power/power_fixture.h, tests/reliability/reliability_fixture.h).
#pragma once

#include "ntsim_test.h"
#include "sharefiles/common.h"

#include <array>
#include <atomic>
#include <cstring>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace pdkit::test {

// What sets the three drivers apart, as a test sees it.
struct DriverKind {
  const char* module;
  const char* device;  // the path a program opens
  bool hasStore;       // Tavrin and Kelvane
  ULONG transferFlag;
  bool tracesFrame;  // Ostrel's own lines in DriverEntry, AddDevice, open and close
  bool directIo;     // Tavrin: MDL read and write with the page-offset line
};

inline const DriverKind kTavrin{"tavrin", "\\\\.\\TAVRINDEV", true, DO_DIRECT_IO, false, true};
inline const DriverKind kKelvane{"kelvane", "\\\\.\\KELVANEDEV", true, DO_BUFFERED_IO, false, false};
inline const DriverKind kOstrel{"ostrel", "\\\\.\\OSTRELDEV", false, DO_DIRECT_IO, true, false};

inline const DriverKind kAllDrivers[] = {kTavrin, kKelvane, kOstrel};
inline const DriverKind kStoreDrivers[] = {kTavrin, kKelvane};

inline void PrintTo(const DriverKind& kind, std::ostream* os) { *os << kind.module; }

inline std::string PrintKind(const ::testing::TestParamInfo<DriverKind>& info) { return info.param.module; }

using Lines = std::vector<std::string>;
using Bytes = std::vector<uint8_t>;

inline Lines concat(std::initializer_list<Lines> parts) {
  Lines all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// Line `number` of a file named as the drivers' __FILE__ names it (relative
// to the source root); empty when there is no such file or line.
inline std::string sourceLine(const std::string& file, ULONG number) {
  std::ifstream in(std::string(PDKIT_SOURCE_DIR) + "/" + file);
  std::string line;
  for (ULONG i = 0; i < number; ++i) {
    if (!std::getline(in, line)) return {};
  }
  return line;
}

// How far boot takes the device, and what the bus beneath it says.
struct BootOptions {
  bool start = true;                                         // the PnP manager's start
  bool queryCapabilities = true;                             // after the start, the capability query
  std::optional<DEVICE_CAPABILITIES> report = std::nullopt;  // the bus's capability report, if not the root bus's
  // Stacks a device of the test's own on the PDO before the driver's AddDevice.
  std::function<void(PDEVICE_OBJECT pdo)> below = nullptr;
};

class DriverTest : public MachineTest {
 protected:
  // Loads the driver and adds its device, as the PnP manager does; then, as
  // the options say, the start and the capability query. The debugger output
  // is cleared afterwards.
  void boot(const DriverKind& kind, const BootOptions& options = {}) {
    load(kind);
    addAndStart(options);
  }

  // The first step of boot: the driver loaded and its DriverEntry run.
  void load(const DriverKind& kind) {
    kind_ = &kind;
    driver = &machine->load(driverPath(kind.module));
  }

  // The rest of boot, for the loaded driver: its device added and, as the options say, started.
  void addAndStart(const BootOptions& options = {}) {
    if (options.below) {
      node = &machine->createNode();
      if (options.report) setReport(*options.report);
      options.below(node->pdo());
      ASSERT_EQ(driver->object()->DriverExtension->AddDevice(driver->object(), node->pdo()), STATUS_SUCCESS);
    } else {
      node = &machine->addDevice(*driver);
      ASSERT_EQ(node->addDeviceStatus(), STATUS_SUCCESS);
      if (options.report) setReport(*options.report);
    }
    if (options.start) {
      ASSERT_EQ(machine->pnp(*node, IRP_MN_START_DEVICE).status, STATUS_SUCCESS);
      if (options.queryCapabilities) {
        ASSERT_EQ(machine->queryCapabilities(*node).status, STATUS_SUCCESS);
      }
    }
    machine->clearDebugOutput();
  }

  // The driver's own device: the top of the stack.
  PDEVICE_OBJECT fdo() const { return IoGetAttachedDevice(node->pdo()); }
  PDEVICE_EXTENSION extension() const { return static_cast<PDEVICE_EXTENSION>(fdo()->DeviceExtension); }
  LONG lockCount() const { return machine->removeLockCount(&extension()->RemoveLock); }

  // Every acquisition the remove lock holds names where it was taken: a file
  // of the source tree, and a line of it that calls AcquireRemoveLock.
  void expectHoldsNameTheirCalls() const {
    auto holds = machine->removeLockHolds(&extension()->RemoveLock);
    EXPECT_FALSE(holds.empty());
    for (const auto& hold : holds) {
      EXPECT_NE(sourceLine(hold.file, hold.line).find("AcquireRemoveLock("), std::string::npos)
          << "acquired at " << hold.file << ":" << hold.line;
    }
  }

  // What the bus beneath the device answers from now on.
  void changeBus(const std::function<void(ntsim::BusBehaviour&)>& change) {
    auto bus = node->bus();
    change(bus);
    node->setBus(bus);
  }
  void setReport(const DEVICE_CAPABILITIES& caps) {
    changeBus([&](ntsim::BusBehaviour& bus) { bus.capabilities = caps; });
  }
  void setBusPowerStatus(NTSTATUS status) {
    changeBus([&](ntsim::BusBehaviour& bus) { bus.powerStatus = status; });
  }
  // The bus completes requests later, from a thread of its own.
  void setBusPend(bool pend) {
    changeBus([&](ntsim::BusBehaviour& bus) { bus.pend = pend; });
  }

  ntsim::Handle open() {
    auto opened = machine->open(kind_->device);
    EXPECT_EQ(opened.result.status, STATUS_SUCCESS);
    return opened.handle;
  }

  Bytes store() const {
    const UCHAR* data = extension()->DataBuffer;
    return data == nullptr ? Bytes{} : Bytes(data, data + DATA_BUFFER_SIZE);
  }

  ntsim::IoResult write(ntsim::Handle handle, const std::string& text) {
    return machine->write(handle, text.data(), static_cast<ULONG>(text.size()));
  }

  ntsim::IoResult writeBytes(ntsim::Handle handle, const Bytes& bytes) {
    return machine->write(handle, bytes.data(), static_cast<ULONG>(bytes.size()));
  }

  // Reads into a buffer pre-filled with 0xEE, so untouched bytes show.
  ntsim::IoResult read(ntsim::Handle handle, ULONG length, Bytes* out) {
    out->assign(length, 0xEE);
    return machine->read(handle, out->data(), length);
  }

  ntsim::IoResult control(ntsim::Handle handle, ULONG code, ULONG outLength, Bytes* out, const Bytes& in = {}) {
    out->assign(outLength, 0xEE);
    return machine->deviceIoControl(handle, code, in.empty() ? nullptr : in.data(), static_cast<ULONG>(in.size()),
                                    outLength == 0 ? nullptr : out->data(), outLength);
  }

  CAPABILITY_TABLE table(ntsim::Handle handle) {
    Bytes reply;
    auto result = control(handle, IOCTL_GET_CAPABILITY_TABLE, sizeof(CAPABILITY_TABLE), &reply);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    CAPABILITY_TABLE copy;
    std::memcpy(&copy, reply.data(), sizeof copy);
    return copy;
  }

  const DriverKind* kind_ = nullptr;
  ntsim::Driver* driver = nullptr;
  ntsim::DeviceNode* node = nullptr;
};

// A remove-and-wait on a device's remove lock, as a driver's remove path
// does it: one acquisition, then IoReleaseRemoveLockAndWaitEx, in a thread of
// its own so that the test can go on while it waits. With holding, the test
// also keeps an acquisition of its own, so that the wait lasts until finish().
class RemoveAndWait {
 public:
  explicit RemoveAndWait(PIO_REMOVE_LOCK lock, bool holding = false) : lock_(lock), holding_(holding) {
    EXPECT_EQ(IoAcquireRemoveLockEx(lock_, &waitTag_, __FILE__, __LINE__, sizeof(IO_REMOVE_LOCK)), STATUS_SUCCESS);
    if (holding_) {
      EXPECT_EQ(IoAcquireRemoveLockEx(lock_, &holdTag_, __FILE__, __LINE__, sizeof(IO_REMOVE_LOCK)), STATUS_SUCCESS);
    }
    waiter_ = std::thread([this] {
      IoReleaseRemoveLockAndWaitEx(lock_, &waitTag_, sizeof(IO_REMOVE_LOCK));
      finished_ = true;
    });
  }
  ~RemoveAndWait() { finish(); }
  RemoveAndWait(const RemoveAndWait&) = delete;
  RemoveAndWait& operator=(const RemoveAndWait&) = delete;

  // The wait has begun: the lock refuses new acquisitions.
  bool begun() const { return std::atomic_ref<BOOLEAN>(lock_->Removed).load() != 0; }
  bool finished() const { return finished_.load(); }
  // Waits until the remove-and-wait has returned.
  void join() {
    if (waiter_.joinable()) waiter_.join();
  }
  // Gives back the test's own acquisition, if it holds one, and waits until the remove-and-wait has returned.
  void finish() {
    if (holding_) IoReleaseRemoveLockEx(lock_, &holdTag_, sizeof(IO_REMOVE_LOCK));
    holding_ = false;
    join();
  }

 private:
  PIO_REMOVE_LOCK lock_;
  bool holding_;
  char waitTag_ = 0;
  char holdTag_ = 0;
  std::thread waiter_;
  std::atomic<bool> finished_{false};
};

// The sixteen lines of a capability-table dump.
inline Lines tableDump(const CAPABILITY_TABLE& t) {
  Lines lines{std::string("Support Query Device Capability : ") + (t.CapabilitiesQueried ? "Yes" : "No") + "\r\n"};
  auto line = [&](const char* name, int32_t value) {
    lines.push_back(std::string(name) + " : " + std::to_string(value) + "\r\n");
  };
  line("DeviceD1", static_cast<int32_t>(t.DeviceD1));
  line("DeviceD2", static_cast<int32_t>(t.DeviceD2));
  line("WakeFromD0", static_cast<int32_t>(t.WakeFromD0));
  line("WakeFromD1", static_cast<int32_t>(t.WakeFromD1));
  line("WakeFromD2", static_cast<int32_t>(t.WakeFromD2));
  line("WakeFromD3", static_cast<int32_t>(t.WakeFromD3));
  line("SystemWake", t.SystemWake);
  line("DeviceWake", t.DeviceWake);
  for (int i = 0; i < 7; ++i) {
    lines.push_back("DeviceState[" + std::to_string(i) + "] : " + std::to_string(t.DeviceState[i]) + "\r\n");
  }
  return lines;
}

}  // namespace pdkit::test
