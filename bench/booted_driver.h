// One of the three drivers booted on the current machine the way the PnP
// manager starts it: loaded, its device added, started and asked for its
// capabilities.
#pragma once

#include <ntsim/ntsim.h>

#include <stdexcept>
#include <string>

namespace pdbench {

struct DriverKind {
  const char* module;  // tavrin, kelvane, ostrel
  const char* device;  // the path a program opens
  bool hasStore;       // reads and writes reach the driver
  bool directIo;       // the caller's buffer comes as an MDL
};

inline const DriverKind kTavrin{"tavrin", "\\\\.\\TAVRINDEV", true, true};
inline const DriverKind kKelvane{"kelvane", "\\\\.\\KELVANEDEV", true, false};
inline const DriverKind kOstrel{"ostrel", "\\\\.\\OSTRELDEV", false, false};
inline const DriverKind* const kDrivers[] = {&kTavrin, &kKelvane, &kOstrel};

inline std::string modulePath(const DriverKind& kind) {
  return std::string(PDBENCH_DRIVER_DIR) + "/" + kind.module + ".so";
}

class BootedDriver {
 public:
  BootedDriver(ntsim::Machine& machine, const DriverKind& kind)
      : machine_(machine), driver_(machine.load(modulePath(kind))), node_(machine.addDevice(driver_)) {
    if (node_.addDeviceStatus() != STATUS_SUCCESS || machine.pnp(node_, IRP_MN_START_DEVICE).failed() ||
        machine.queryCapabilities(node_).failed()) {
      throw std::runtime_error(std::string("cannot start ") + kind.module);
    }
  }
  BootedDriver(const BootedDriver&) = delete;
  BootedDriver& operator=(const BootedDriver&) = delete;
  ~BootedDriver() {
    if (driver_.loaded()) machine_.unload(driver_);
  }

  ntsim::Driver& driver() { return driver_; }
  PDEVICE_OBJECT fdo() const { return node_.fdo(); }
  PDRIVER_DISPATCH dispatch(UCHAR major) const { return driver_.object()->MajorFunction[major]; }

 private:
  ntsim::Machine& machine_;
  ntsim::Driver& driver_;
  ntsim::DeviceNode& node_;
};

}  // namespace pdbench
