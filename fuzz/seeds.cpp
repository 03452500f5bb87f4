// Writes the seed corpora: one short scenario per file, for each driver, in
// fuzz/corpus/fuzz_<driver>/seed-<scenario>. Run it again after a change to
// the input encoding (operations.h):
//   build/host/bin/fuzz_seeds fuzz/corpus
#include "driver_traits.h"
#include "operations.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace pdkit::fuzz {
namespace {

Op make(OpKind kind) {
  Op op;
  op.kind = kind;
  return op;
}

Op open(PathVariant path = PathVariant::Exact) {
  Op op = make(OpKind::Open);
  op.path = path;
  return op;
}

Op close(uint8_t handle = 0) {
  Op op = make(OpKind::Close);
  op.handle = handle;
  return op;
}

Op transfer(OpKind kind, uint32_t length, uint16_t pageOffset = 0, int64_t byteOffset = 0, uint8_t fill = 0x61) {
  Op op = make(kind);
  op.length = length;
  op.pageOffset = pageOffset;
  op.byteOffset = byteOffset;
  op.fill = fill;
  return op;
}

Op read(uint32_t length, uint16_t pageOffset = 0, int64_t byteOffset = 0) {
  return transfer(OpKind::Read, length, pageOffset, byteOffset);
}

Op write(uint32_t length, uint8_t fill = 0x61, uint16_t pageOffset = 0, int64_t byteOffset = 0) {
  return transfer(OpKind::Write, length, pageOffset, byteOffset, fill);
}

Op control(uint32_t code, uint32_t outLength, uint32_t inLength = 0) {
  Op op = make(OpKind::Control);
  op.code = code;
  op.outLength = outLength;
  op.inLength = inLength;
  op.fill = 0x33;
  return op;
}

Op pnp(uint32_t minor) {
  Op op = make(OpKind::Pnp);
  op.minor = minor;
  return op;
}

Op power(uint32_t minor, uint32_t type, uint32_t state, uint32_t action = PowerActionNone) {
  Op op = make(OpKind::Power);
  op.minor = minor;
  op.powerType = type;
  op.state = state;
  op.action = action;
  return op;
}

Op systemPower(uint32_t state, uint32_t action) {
  Op op = make(OpKind::SystemPower);
  op.state = state;
  op.action = action;
  return op;
}

BusScript rootLikeBus() {
  BusScript bus;
  bus.deviceState = {0, 1, 4, 4, 4, 4, 4};
  return bus;
}

Op setBus(const BusScript& bus) {
  Op op = make(OpKind::SetBus);
  op.bus = bus;
  return op;
}

Op faults(uint8_t mapping, uint8_t powerRequest, NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES) {
  Op op = make(OpKind::Faults);
  op.faults.mapping = mapping;
  op.faults.powerRequest = powerRequest;
  op.faults.powerRequestStatus = status;
  return op;
}

Op addDeviceWith(OpKind kind, uint8_t createDevice, uint8_t pool, uint8_t poolSkip, uint8_t attach) {
  Op op = make(kind);
  op.faults.createDevice = createDevice;
  op.faults.pool = pool;
  op.faults.poolSkip = poolSkip;
  op.faults.attach = attach;
  return op;
}

constexpr uint32_t kDescription = 0x222000;
constexpr uint32_t kTable = 0x222004;

using Scenario = std::pair<const char*, std::vector<Op>>;

std::vector<Scenario> scenarios(const DriverTraits& traits) {
  const auto description = static_cast<uint32_t>(traits.description.size() * 2);
  std::vector<Scenario> all;

  all.push_back({"open-close", {open(), close()}});

  std::vector<Op> paths;
  for (uint8_t v = 0; v < static_cast<uint8_t>(PathVariant::Count); ++v)
    paths.push_back(open(static_cast<PathVariant>(v)));
  for (int i = 0; i < 8; ++i) paths.push_back(close());
  all.push_back({"paths", paths});

  all.push_back({"write-read",
                 {open(), write(3), read(8), write(5, 0x30), write(3, 0x41), read(8), write(0), read(4), read(0),
                  open(PathVariant::SubPath), read(16), close(1), close()}});

  std::vector<Op> lengths{open()};
  for (uint32_t length : {1u, 1023u, 1024u, 1025u, 2000u, 65536u, 1u << 20}) {
    lengths.push_back(write(length, static_cast<uint8_t>(length)));
    lengths.push_back(read(length));
  }
  lengths.push_back(close());
  all.push_back({"lengths", lengths});

  all.push_back({"page-offsets",
                 {open(), write(1024, 0x10, 1), read(1024, 100), write(17, 0x20, 4095), read(2000, 4095), read(1, 4000),
                  close()}});

  all.push_back({"byte-offsets", {open(), write(10, 0x50, 0, 512), read(10, 0, 1), read(10, 0, -1), close()}});

  all.push_back(
      {"controls",
       {open(), control(kDescription, description), control(kDescription, description - 1), control(kDescription, 0),
        control(kDescription, description + 1, 4096), control(kTable, 64), control(kTable, 63), control(kTable, 0),
        control(kTable, 65, 3), control(kTable ^ 0x4, 64), control(kDescription | 0x1, description),
        control(kTable | 0xC000, 64), control(0x222008, 64), control(0, 0), close()}});

  all.push_back(
      {"pnp-sequence",
       {open(), write(4), pnp(IRP_MN_QUERY_STOP_DEVICE), pnp(IRP_MN_STOP_DEVICE), read(4), pnp(IRP_MN_START_DEVICE),
        pnp(IRP_MN_QUERY_CAPABILITIES), pnp(IRP_MN_QUERY_REMOVE_DEVICE), pnp(IRP_MN_CANCEL_REMOVE_DEVICE),
        control(kTable, 64), pnp(IRP_MN_SURPRISE_REMOVAL), read(4), pnp(IRP_MN_REMOVE_DEVICE), pnp(IRP_MN_START_DEVICE),
        pnp(IRP_MN_START_DEVICE), pnp(IRP_MN_QUERY_DEVICE_RELATIONS), pnp(0x42), close()}});

  all.push_back(
      {"power-device",
       {power(IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3),
        power(IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0),
        power(IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD2, PowerActionSleep),
        power(IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD1, PowerActionHibernate),
        power(IRP_MN_QUERY_POWER, DevicePowerState, PowerDeviceD3), power(IRP_MN_SET_POWER, DevicePowerState, 0),
        power(IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0), power(IRP_MN_SET_POWER, DevicePowerState, 9, 77),
        power(IRP_MN_SET_POWER, DevicePowerState, 0xFFFFFFFF), power(IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0),
        power(IRP_MN_WAIT_WAKE, SystemPowerState, 4), power(IRP_MN_POWER_SEQUENCE, DevicePowerState, 0),
        power(0x10, DevicePowerState, PowerDeviceD3), power(IRP_MN_SET_POWER, 2, PowerDeviceD3),
        power(IRP_MN_QUERY_POWER, 0x12345, 1)}});

  all.push_back({"power-system",
                 {open(), systemPower(PowerSystemSleeping3, PowerActionSleep), read(4),
                  systemPower(PowerSystemWorking, PowerActionNone), read(4),
                  power(IRP_MN_QUERY_POWER, SystemPowerState, PowerSystemHibernate, PowerActionHibernate),
                  power(IRP_MN_SET_POWER, SystemPowerState, PowerSystemHibernate, PowerActionHibernate),
                  power(IRP_MN_SET_POWER, SystemPowerState, PowerSystemWorking),
                  power(IRP_MN_SET_POWER, SystemPowerState, 0), power(IRP_MN_SET_POWER, SystemPowerState, 7),
                  power(IRP_MN_QUERY_POWER, SystemPowerState, 8), power(IRP_MN_SET_POWER, SystemPowerState, 0xFFFFFFFF),
                  power(IRP_MN_SET_POWER, SystemPowerState, PowerSystemShutdown, PowerActionShutdownOff),
                  systemPower(PowerSystemWorking, PowerActionNone), close()}});

  BusScript light = rootLikeBus();
  light.flags = 0x3C03;  // D1, D2 and every wake flag
  light.deviceState = {0, 1, 2, 3, 4, 4, 4};
  light.systemWake = 4;
  light.deviceWake = 3;
  light.extra = 0x12345678;
  all.push_back(
      {"table-report",
       {open(), control(kTable, 64), setBus(light), pnp(IRP_MN_QUERY_CAPABILITIES), control(kTable, 64),
        systemPower(PowerSystemSleeping1, PowerActionSleep), systemPower(PowerSystemSleeping2, PowerActionSleep),
        systemPower(PowerSystemWorking, PowerActionNone), close()}});

  BusScript failing = rootLikeBus();
  failing.capabilitiesStatus = STATUS_NOT_SUPPORTED;
  failing.powerStatus = STATUS_UNSUCCESSFUL;
  BusScript warning = rootLikeBus();
  warning.capabilitiesStatus = STATUS_BUFFER_OVERFLOW;
  warning.powerStatus = 0x40000000;
  all.push_back({"bus-failing",
                 {setBus(failing), pnp(IRP_MN_QUERY_CAPABILITIES), systemPower(PowerSystemSleeping3, PowerActionSleep),
                  power(IRP_MN_SET_POWER, SystemPowerState, PowerSystemSleeping3, PowerActionSleep),
                  power(IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3),
                  power(IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0),
                  power(IRP_MN_QUERY_POWER, DevicePowerState, PowerDeviceD3), setBus(warning),
                  pnp(IRP_MN_QUERY_CAPABILITIES), systemPower(PowerSystemSleeping3, PowerActionSleep),
                  power(IRP_MN_SET_POWER, SystemPowerState, 9), open(), control(kTable, 64), close()}});

  BusScript pending = light;
  pending.pend = true;
  BusScript pendingFailure = failing;
  pendingFailure.pend = true;
  all.push_back(
      {"bus-pending",
       {setBus(pending), pnp(IRP_MN_QUERY_CAPABILITIES), systemPower(PowerSystemSleeping3, PowerActionSleep),
        systemPower(PowerSystemWorking, PowerActionNone), power(IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3),
        power(IRP_MN_QUERY_POWER, DevicePowerState, PowerDeviceD0), setBus(pendingFailure),
        pnp(IRP_MN_QUERY_CAPABILITIES), systemPower(PowerSystemSleeping3, PowerActionSleep)}});

  all.push_back({"faults-mapping",
                 {open(), write(8, 0x71), faults(2, 0), write(4), read(4), read(0), write(0), read(8), write(6),
                  read(8), close()}});

  all.push_back({"faults-power-request",
                 {faults(0, 1), systemPower(PowerSystemSleeping3, PowerActionSleep), faults(0, 2, STATUS_UNSUCCESSFUL),
                  power(IRP_MN_QUERY_POWER, SystemPowerState, PowerSystemSleeping3),
                  power(IRP_MN_SET_POWER, SystemPowerState, PowerSystemWorking), faults(0, 1, STATUS_SUCCESS),
                  power(IRP_MN_SET_POWER, SystemPowerState, PowerSystemSleeping3),
                  systemPower(PowerSystemWorking, PowerActionNone), open(), read(4), close()}});

  all.push_back(
      {"remove-and-wait",
       {open(), write(4), close(), make(OpKind::RemoveAndWait), open(),
        power(IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3),
        power(IRP_MN_QUERY_POWER, SystemPowerState, PowerSystemSleeping3), power(IRP_MN_WAIT_WAKE, SystemPowerState, 4),
        power(IRP_MN_POWER_SEQUENCE, DevicePowerState, 0), pnp(IRP_MN_REMOVE_DEVICE), pnp(IRP_MN_QUERY_CAPABILITIES),
        make(OpKind::Unload), addDeviceWith(OpKind::Reload, 0, 0, 0, 0), open(), read(4), close()}});

  all.push_back({"add-device-faults",
                 {addDeviceWith(OpKind::Reload, 0, 1, 0, 0), open(), addDeviceWith(OpKind::AddDeviceAgain, 0, 1, 1, 0),
                  addDeviceWith(OpKind::AddDeviceAgain, 0, 0, 0, 1), addDeviceWith(OpKind::AddDeviceAgain, 1, 0, 0, 0),
                  addDeviceWith(OpKind::AddDeviceAgain, 0, 0, 0, 0), open(),
                  addDeviceWith(OpKind::AddDeviceAgain, 0, 0, 0, 0), write(3), read(3), close()}});

  all.push_back({"unload-reload",
                 {open(), write(16, 0x42), close(), make(OpKind::Unload), open(),
                  addDeviceWith(OpKind::Reload, 0, 0, 0, 0), open(), read(16), control(kTable, 64), close(),
                  addDeviceWith(OpKind::Reload, 0, 0, 0, 0), open(), read(16), close()}});
  return all;
}

}  // namespace
}  // namespace pdkit::fuzz

int main(int argc, char** argv) {
  using namespace pdkit::fuzz;
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus folder, e.g. fuzz/corpus>\n", argv[0]);
    return 2;
  }
  const DriverTraits* drivers[] = {&kTavrinTraits, &kKelvaneTraits, &kOstrelTraits};
  for (const DriverTraits* traits : drivers) {
    std::filesystem::path folder = std::filesystem::path(argv[1]) / ("fuzz_" + std::string(traits->module));
    std::filesystem::create_directories(folder);
    for (const auto& [name, ops] : scenarios(*traits)) {
      std::vector<uint8_t> bytes = encodeOps(ops);
      if (decodeOps(bytes, *traits) != ops) {
        std::fprintf(stderr, "seed %s does not decode to its own operations\n", name);
        return 1;
      }
      std::ofstream(folder / (std::string("seed-") + name), std::ios::binary)
          .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
  }
  return 0;
}
