#include "model.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace pdkit::fuzz {
namespace {

// Byte offsets in DEVICE_CAPABILITIES, the published layout.
constexpr size_t kReportFlags = 4;
constexpr size_t kReportAddress = 8;
constexpr size_t kReportUiNumber = 12;
constexpr size_t kReportDeviceState = 16;  // seven 32-bit states
constexpr size_t kReportSystemWake = 44;
constexpr size_t kReportDeviceWake = 48;
constexpr size_t kReportLatencies = 52;  // D1, D2, D3

// Byte offsets in the capability table, its wire format.
constexpr size_t kTableDeviceD1 = 0x04;
constexpr size_t kTableWakeFromD0 = 0x0C;
constexpr size_t kTableSystemWake = 0x1C;
constexpr size_t kTableDeviceWake = 0x20;
constexpr size_t kTableDeviceState = 0x24;

constexpr uint32_t kDescriptionCode = 0x222000;
constexpr uint32_t kTableCode = 0x222004;

constexpr uint32_t kSystemStates = 7;  // the table maps PowerSystemUnspecified (0) to PowerSystemShutdown (6)

template <size_t N>
void put32(std::array<uint8_t, N>& bytes, size_t offset, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

template <size_t N>
uint32_t get32(const std::array<uint8_t, N>& bytes, size_t offset) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value |= static_cast<uint32_t>(bytes[offset + i]) << (8 * i);
  return value;
}

bool failedForProgram(NTSTATUS status) { return NT_ERROR(status) || NT_WARNING(status); }

Expected answer(NTSTATUS status, ULONG_PTR information = 0) {
  Expected out;
  out.status = status;
  out.information = information;
  return out;
}

void merge(Expected& into, const Expected& from) {
  into.failedSets += from.failedSets;
  into.busIrps += from.busIrps;
  into.announced.insert(into.announced.end(), from.announced.begin(), from.announced.end());
}

}  // namespace

DeviceModel::DeviceModel(const DriverTraits& traits) : traits_(traits) {}

DeviceModel::Report DeviceModel::reportOf(const BusScript& bus) {
  Report report{};
  report[0] = sizeof(Report);  // Size and Version as the PnP manager initialises them
  report[2] = 1;
  put32(report, kReportFlags, bus.flags);
  put32(report, kReportAddress, bus.extra);
  put32(report, kReportUiNumber, ~bus.extra);
  for (size_t i = 0; i < bus.deviceState.size(); ++i) put32(report, kReportDeviceState + 4 * i, bus.deviceState[i]);
  put32(report, kReportSystemWake, bus.systemWake);
  put32(report, kReportDeviceWake, bus.deviceWake);
  put32(report, kReportLatencies, bus.extra * 3);
  put32(report, kReportLatencies + 4, bus.extra >> 3);
  put32(report, kReportLatencies + 8, bus.extra ^ 0x5A5A5A5Au);
  return report;
}

std::vector<std::string> DeviceModel::tableDump(const Table& table) {
  std::vector<std::string> lines;
  lines.push_back(std::string("Support Query Device Capability : ") + (table[0] != 0 ? "Yes" : "No") + "\r\n");
  auto line = [&](const char* name, size_t offset) {
    lines.push_back(std::string(name) + " : " + std::to_string(static_cast<int32_t>(get32(table, offset))) + "\r\n");
  };
  const char* const flags[] = {"DeviceD1", "DeviceD2", "WakeFromD0", "WakeFromD1", "WakeFromD2", "WakeFromD3"};
  for (size_t i = 0; i < 6; ++i) line(flags[i], kTableDeviceD1 + 4 * i);
  line("SystemWake", kTableSystemWake);
  line("DeviceWake", kTableDeviceWake);
  for (size_t i = 0; i < kSystemStates; ++i) {
    lines.push_back("DeviceState[" + std::to_string(i) +
                    "] : " + std::to_string(static_cast<int32_t>(get32(table, kTableDeviceState + 4 * i))) + "\r\n");
  }
  return lines;
}

// ---------------------------------------------------------------- lifecycle

void DeviceModel::load() {
  loaded_ = true;
  device_ = false;
}

NTSTATUS DeviceModel::addDevice(const FaultScript& faults) {
  if (faults.createDevice > 0) return faults.createDeviceStatus;
  if (device_) return STATUS_OBJECT_NAME_COLLISION;  // the name is taken
  int pool = faults.pool, skip = faults.poolSkip;
  // The store (drivers that have one), then the table: a failed one ends AddDevice.
  for (int allocation = traits_.hasStore ? 2 : 1; allocation > 0; --allocation) {
    if (pool == 0) break;
    if (skip > 0) {
      --skip;
    } else {
      return STATUS_INSUFFICIENT_RESOURCES;
    }
  }
  if (faults.attach > 0) return STATUS_NO_SUCH_DEVICE;
  device_ = true;
  removed_ = false;
  handles_ = 0;
  store_.fill(0);
  table_.fill(0);
  captured_.fill(0);
  systemState_ = 1;  // PowerSystemWorking
  deviceState_ = 1;  // PowerDeviceD0
  announced_.clear();
  busIrps_ = 0;
  resetBus();
  return STATUS_SUCCESS;
}

Expected DeviceModel::start() { return pnp(IRP_MN_START_DEVICE); }

Expected DeviceModel::startQuery() { return pnp(IRP_MN_QUERY_CAPABILITIES); }

void DeviceModel::unload() {
  loaded_ = false;
  device_ = false;
  removed_ = false;
  handles_ = 0;
}

void DeviceModel::removeAndWait() { removed_ = true; }

// ---------------------------------------------------------------- environment

void DeviceModel::resetBus() {
  // The root bus's own report: D0 when working, D3 in every sleep state.
  BusScript root;
  root.deviceState = {0, 1, 4, 4, 4, 4, 4};
  root.extra = 0xFFFFFFFFu;
  bus_.report = reportOf(root);
  put32(bus_.report, kReportLatencies, 0);
  put32(bus_.report, kReportLatencies + 4, 0);
  put32(bus_.report, kReportLatencies + 8, 0);
  put32(bus_.report, kReportUiNumber, 0xFFFFFFFFu);
  bus_.capabilitiesStatus = STATUS_SUCCESS;
  bus_.powerStatus = STATUS_SUCCESS;
}

void DeviceModel::setBus(const BusScript& bus) {
  bus_.report = reportOf(bus);
  bus_.capabilitiesStatus = bus.capabilitiesStatus;
  bus_.powerStatus = bus.powerStatus;
}

void DeviceModel::addFaults(const FaultScript& faults) {
  mappingFaults_ += faults.mapping;
  powerRequestFaults_ += faults.powerRequest;
  if (faults.powerRequest > 0) powerRequestStatus_ = faults.powerRequestStatus;
}

// ---------------------------------------------------------------- requests

Expected DeviceModel::open(PathVariant path) {
  if (path == PathVariant::NoPrefix) return answer(STATUS_OBJECT_NAME_INVALID);
  if (path == PathVariant::LongerName || path == PathVariant::EmptyName || !device_) {
    return answer(STATUS_OBJECT_NAME_NOT_FOUND);
  }
  // Whatever follows the device's name is the driver's to ignore.
  if (removed_) return answer(STATUS_DELETE_PENDING);
  ++handles_;
  return answer(STATUS_SUCCESS);
}

Expected DeviceModel::close() {
  --handles_;
  return answer(STATUS_SUCCESS);
}

Expected DeviceModel::read(uint32_t length) {
  if (!traits_.hasStore) return answer(STATUS_INVALID_DEVICE_REQUEST);
  if (traits_.directIo && length > 0 && mappingFaults_ > 0) {
    --mappingFaults_;
    return answer(STATUS_INSUFFICIENT_RESOURCES);
  }
  size_t count = std::min<size_t>(length, kStoreSize);
  Expected out = answer(STATUS_SUCCESS, count);
  out.reply.assign(store_.begin(), store_.begin() + count);
  return out;
}

Expected DeviceModel::write(std::span<const uint8_t> data) {
  if (!traits_.hasStore) return answer(STATUS_INVALID_DEVICE_REQUEST);
  if (traits_.directIo && !data.empty() && mappingFaults_ > 0) {
    --mappingFaults_;
    return answer(STATUS_INSUFFICIENT_RESOURCES);
  }
  size_t count = std::min(data.size(), kStoreSize);
  store_.fill(0);
  std::copy_n(data.begin(), count, store_.begin());
  return answer(STATUS_SUCCESS, count);
}

Expected DeviceModel::control(uint32_t code, uint32_t inLength, uint32_t outLength) {
  (void)inLength;  // input never changes a reply
  if (code == kDescriptionCode) {
    size_t length = traits_.description.size() * 2;
    if (outLength < length) return answer(STATUS_BUFFER_TOO_SMALL);
    Expected out = answer(STATUS_SUCCESS, length);
    for (char16_t unit : traits_.description) {
      out.reply.push_back(static_cast<uint8_t>(unit));
      out.reply.push_back(static_cast<uint8_t>(unit >> 8));
    }
    return out;
  }
  if (code == kTableCode) {
    if (outLength < kTableSize) return answer(STATUS_BUFFER_TOO_SMALL);
    Expected out = answer(STATUS_SUCCESS, kTableSize);
    out.reply.assign(table_.begin(), table_.end());
    out.tableDump = true;
    return out;
  }
  return answer(STATUS_INVALID_DEVICE_REQUEST);
}

void DeviceModel::capture() {
  captured_ = bus_.report;
  table_[0] = 1;
  const uint32_t flags = get32(bus_.report, kReportFlags);
  put32(table_, kTableDeviceD1, flags & 1);
  put32(table_, kTableDeviceD1 + 4, (flags >> 1) & 1);
  for (size_t i = 0; i < 4; ++i) put32(table_, kTableWakeFromD0 + 4 * i, (flags >> (10 + i)) & 1);
  put32(table_, kTableSystemWake, get32(bus_.report, kReportSystemWake));
  put32(table_, kTableDeviceWake, get32(bus_.report, kReportDeviceWake));
  for (size_t i = 0; i < kSystemStates; ++i) {
    put32(table_, kTableDeviceState + 4 * i, get32(bus_.report, kReportDeviceState + 4 * i));
  }
}

Expected DeviceModel::pnp(uint32_t minor) {
  // Once its remove lock is removed the device refuses every request, PnP included.
  if (removed_) return answer(STATUS_DELETE_PENDING);
  Expected out;
  ++busIrps_;
  out.busIrps = 1;  // every PnP request goes on down to the bus
  switch (minor) {
    case IRP_MN_QUERY_CAPABILITIES:
      if (!NT_SUCCESS(bus_.capabilitiesStatus)) {
        out.status = bus_.capabilitiesStatus;  // the table keeps what it had
        return out;
      }
      capture();
      return out;
    case IRP_MN_REMOVE_DEVICE:
      // The device is gone, and with it the store and the table.
      device_ = false;
      return out;
    case IRP_MN_START_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL: return out;  // succeeded by the driver and by the bus
    default:
      out.status = STATUS_NOT_SUPPORTED;  // nobody handles it: the status it was sent with
      return out;
  }
}

void DeviceModel::deviceQuery(Expected& out) {
  ++busIrps_;
  ++out.busIrps;
  // A success below is answered with plain success.
  out.status = NT_SUCCESS(bus_.powerStatus) ? STATUS_SUCCESS : bus_.powerStatus;
  out.information = 0;
}

void DeviceModel::deviceSet(int32_t state, uint32_t action, Expected& out) {
  const auto shutdownType = static_cast<int32_t>(action);
  const bool powerUp = state <= deviceState_ || state == 1;
  const bool powerDown = !powerUp && (state == 4 || (shutdownType >= 3 && shutdownType <= 6));
  out.information = 0;
  // Every device set reaches the bus; the sender gets what the driver below answered.
  ++busIrps_;
  ++out.busIrps;
  out.status = bus_.powerStatus;
  if (!NT_SUCCESS(out.status)) ++out.failedSets;
  // A power-down is recorded and announced before the bus sees it; any other state once the bus has reached it.
  if (powerDown || NT_SUCCESS(out.status)) {
    deviceState_ = state;
    announced_.push_back(state);
    out.announced.push_back(state);
  }
}

void DeviceModel::systemIrp(bool set, uint32_t state, uint32_t action, Expected& out) {
  if (set) systemState_ = static_cast<int32_t>(state);  // recorded before anything below sees it
  ++busIrps_;
  ++out.busIrps;
  out.status = bus_.powerStatus;
  out.information = 0;
  if (!NT_SUCCESS(out.status) || state >= kSystemStates) {
    if (set && !NT_SUCCESS(out.status)) ++out.failedSets;
    return;
  }
  const auto mapped = static_cast<int32_t>(get32(table_, kTableDeviceState + 4 * state));
  // A state the table does not map to D0..D3 asks for no device IRP: the answer from below stands.
  if (mapped < 1 || mapped > 4) return;
  if (powerRequestFaults_ > 0) {
    --powerRequestFaults_;
    // No device IRP: a query fails with the request's status, a set goes on with the answer from below.
    if (!set) out.status = powerRequestStatus_;
    return;
  }
  Expected device;
  if (set) {
    deviceSet(mapped, action, device);
  } else {
    deviceQuery(device);
  }
  merge(out, device);
  // A set is never failed by the driver: a failed device IRP leaves it with the answer from below.
  if (set && !NT_SUCCESS(device.status)) return;
  out.status = device.status;
  out.information = device.information;
}

Expected DeviceModel::power(uint32_t minor, uint32_t type, uint32_t state, uint32_t action) {
  const bool set = minor == IRP_MN_SET_POWER;
  if (removed_) {
    Expected out = answer(STATUS_DELETE_PENDING);
    out.failedSets = set ? 1 : 0;
    return out;
  }
  Expected out;
  if (minor != IRP_MN_SET_POWER && minor != IRP_MN_QUERY_POWER) {
    // Wait-wake, power-sequence and the rest are the bus's to answer, and it answers none of them.
    ++busIrps_;
    out.busIrps = 1;
    out.status = STATUS_NOT_SUPPORTED;
    return out;
  }
  if (type == SystemPowerState) {
    systemIrp(set, state, action, out);
  } else if (type == DevicePowerState && set) {
    deviceSet(static_cast<int32_t>(state), action, out);
  } else if (type == DevicePowerState) {
    deviceQuery(out);
  } else {
    // A power-state type the driver does not know is passed on untouched.
    ++busIrps_;
    out.busIrps = 1;
    out.status = bus_.powerStatus;
    if (set && !NT_SUCCESS(out.status)) ++out.failedSets;
  }
  return out;
}

Expected DeviceModel::systemPower(uint32_t state, uint32_t action) {
  // Back to working is a set alone; going to sleep asks first.
  if (state == 1) return power(IRP_MN_SET_POWER, SystemPowerState, state, action);
  Expected query = power(IRP_MN_QUERY_POWER, SystemPowerState, state, action);
  if (failedForProgram(query.status)) return query;
  Expected set = power(IRP_MN_SET_POWER, SystemPowerState, state, action);
  Expected both = query;
  merge(both, set);
  both.status = set.status;
  both.information = set.information;
  return both;
}

}  // namespace pdkit::fuzz
