// Booting one of the three drivers on a fresh machine, and reading back what
// it keeps: the device extension, the remove lock, the store, the replies.
#pragma once

#include "ntsim_test.h"
#include "sharefiles/common.h"

#include <array>
#include <cstring>
#include <string>
#include <vector>

namespace pdkit::test {

// What sets the three drivers apart, as a test sees it.
struct DriverKind {
  const char* module;
  const char* device;  // the path a program opens
  bool hasStore;       // Tavrin and Kelvane
  ULONG transferFlag;
  const char* mainFile;  // named by the frame's remove-lock calls
  bool tracesFrame;      // Ostrel's own lines in DriverEntry, AddDevice, open and close
  bool directIo;         // Tavrin: MDL read and write with the page-offset line
};

inline const DriverKind kTavrin{"tavrin", "\\\\.\\TAVRINDEV", true, DO_DIRECT_IO, "directio_pw/drvmain", false, true};
inline const DriverKind kKelvane{"kelvane", "\\\\.\\KELVANEDEV", true, DO_BUFFERED_IO, "bufferedio_pw/drvmain", false,
                                 false};
inline const DriverKind kOstrel{"ostrel", "\\\\.\\OSTRELDEV", false, DO_DIRECT_IO, "ioctl_pw/drvmain", true, false};

inline void PrintTo(const DriverKind& kind, std::ostream* os) { *os << kind.module; }

inline std::string PrintKind(const ::testing::TestParamInfo<DriverKind>& info) { return info.param.module; }

using Lines = std::vector<std::string>;
using Bytes = std::vector<uint8_t>;

class DriverTest : public MachineTest {
 protected:
  // Loads the driver and adds its device; with start, also the PnP manager's
  // start and capability query. The debugger output is cleared afterwards.
  void boot(const DriverKind& kind, bool start = true) {
    kind_ = &kind;
    driver = &machine->load(driverPath(kind.module));
    node = &machine->addDevice(*driver);
    ASSERT_EQ(node->addDeviceStatus(), STATUS_SUCCESS);
    if (start) {
      ASSERT_EQ(machine->pnp(*node, IRP_MN_START_DEVICE).status, STATUS_SUCCESS);
      ASSERT_EQ(machine->queryCapabilities(*node).status, STATUS_SUCCESS);
    }
    machine->clearDebugOutput();
  }

  PDEVICE_EXTENSION extension() const { return static_cast<PDEVICE_EXTENSION>(node->fdo()->DeviceExtension); }
  LONG lockCount() const { return machine->removeLockCount(&extension()->RemoveLock); }

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

  void setReport(const DEVICE_CAPABILITIES& caps) {
    auto bus = node->bus();
    bus.capabilities = caps;
    node->setBus(bus);
  }

  const DriverKind* kind_ = nullptr;
  ntsim::Driver* driver = nullptr;
  ntsim::DeviceNode* node = nullptr;
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

inline Lines concat(std::initializer_list<Lines> parts) {
  Lines all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

}  // namespace pdkit::test
