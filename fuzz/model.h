// A small reference model of one pseudo-device driver, seen from outside:
// what every request must answer, and what the device must hold afterwards.
// It is written from the drivers' documented behaviour, not from their code:
// the store, the capability table (kept as the 64 bytes of its wire format),
// the copy of the bus's report, the two recorded power states, the remove
// lock's count and the requests that reach the bus.
#pragma once

#include "driver_traits.h"
#include "operations.h"

#include <wdm.h>

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace pdkit::fuzz {

// What one request must come back with and what it must leave behind.
struct Expected {
  NTSTATUS status = STATUS_SUCCESS;
  ULONG_PTR information = 0;
  std::vector<uint8_t> reply;      // the bytes the caller's buffer starts with; nothing else in it changes
  bool tableDump = false;          // the capability table is printed to the debugger, as the model holds it
  int failedSets = 0;              // set-power IRPs the environment made fail (the verifier reports each)
  int busIrps = 0;                 // IRPs that reach the bus below the device
  std::vector<int32_t> announced;  // PoSetPowerState calls for the device's power state, in order
};

class DeviceModel {
 public:
  static constexpr size_t kStoreSize = 1024;
  static constexpr size_t kTableSize = 64;
  using Store = std::array<uint8_t, kStoreSize>;
  using Table = std::array<uint8_t, kTableSize>;
  using Report = std::array<uint8_t, 64>;  // DEVICE_CAPABILITIES as bytes

  explicit DeviceModel(const DriverTraits& traits);

  // ---- lifecycle
  // The driver is loaded; no device yet.
  void load();
  // AddDevice for a new root-bus device, with the faults scripted for it.
  // Returns the status AddDevice must return.
  NTSTATUS addDevice(const FaultScript& faults);
  // The PnP manager's start and first capability query after a successful AddDevice.
  Expected start();
  Expected startQuery();
  // Every handle closed, then the driver unloaded.
  void unload();
  // A remove-and-wait on the device's remove lock, with no handle open.
  void removeAndWait();

  // ---- environment
  void setBus(const BusScript& bus);
  void addFaults(const FaultScript& faults);

  // ---- requests
  Expected open(PathVariant path);
  Expected close();
  Expected read(uint32_t length);
  Expected write(std::span<const uint8_t> data);
  Expected control(uint32_t code, uint32_t inLength, uint32_t outLength);
  Expected pnp(uint32_t minor);
  Expected power(uint32_t minor, uint32_t type, uint32_t state, uint32_t action);
  Expected systemPower(uint32_t state, uint32_t action);

  // ---- what the device must hold
  bool loaded() const { return loaded_; }
  bool hasDevice() const { return device_; }
  bool removed() const { return removed_; }
  int openHandles() const { return handles_; }
  const Store& store() const { return store_; }
  const Table& table() const { return table_; }
  // The extension's copy of the last successful report (zero before the first).
  const Report& capabilities() const { return captured_; }
  int32_t systemPowerState() const { return systemState_; }
  int32_t devicePowerState() const { return deviceState_; }
  // The remove lock's count: one of its own plus one per handle, zero once removed.
  int32_t lockCount() const { return removed_ ? 0 : 1 + handles_; }
  // Pool blocks the driver holds: the store and the table while its device exists.
  size_t poolBlocks() const { return device_ ? (traits_.hasStore ? 2 : 1) : 0; }
  // Every PoSetPowerState the device made, and every IRP that reached its bus.
  const std::vector<int32_t>& announced() const { return announced_; }
  int busIrps() const { return busIrps_; }

  // The 64 bytes of a DEVICE_CAPABILITIES report as the bus fills it for this script.
  static Report reportOf(const BusScript& bus);
  // The 16 lines a table request prints for this table.
  static std::vector<std::string> tableDump(const Table& table);

 private:
  struct Bus {
    Report report{};
    NTSTATUS capabilitiesStatus = STATUS_SUCCESS;
    NTSTATUS powerStatus = STATUS_SUCCESS;
  };

  // A power IRP's way through the driver; each fills in the request's outcome.
  void deviceQuery(Expected& out);
  void deviceSet(int32_t state, uint32_t action, Expected& out);
  void systemIrp(bool set, uint32_t state, uint32_t action, Expected& out);
  void capture();
  void resetBus();

  const DriverTraits& traits_;
  bool loaded_ = false;
  bool device_ = false;
  bool removed_ = false;
  int handles_ = 0;
  Store store_{};
  Table table_{};
  Report captured_{};
  int32_t systemState_ = 1;
  int32_t deviceState_ = 1;
  Bus bus_;
  int mappingFaults_ = 0;
  int powerRequestFaults_ = 0;
  NTSTATUS powerRequestStatus_ = STATUS_INSUFFICIENT_RESOURCES;
  std::vector<int32_t> announced_;
  int busIrps_ = 0;
};

}  // namespace pdkit::fuzz
