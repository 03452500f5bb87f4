#include "operations.h"

#include "driver_traits.h"

#include <cctype>
#include <cstdio>

namespace pdkit::fuzz {
namespace {

constexpr uint8_t kRaw = 0xFF;

// A selector byte: kRaw and a raw 32-bit value, or else a value of the
// table, so that most selectors land on a value worth trying.
uint32_t pick(ByteReader& in, std::span<const uint32_t> table) {
  uint8_t selector = in.u8();
  if (selector == kRaw) return in.u32();
  return table[selector % table.size()];
}

// Statuses a bus (or a refused power request) answers with. STATUS_PENDING
// is never one: completing a request with it is the environment's own bug.
NTSTATUS nonPending(uint32_t raw) {
  auto status = static_cast<NTSTATUS>(raw);
  return status == STATUS_PENDING ? STATUS_UNSUCCESSFUL : status;
}

// A failure status for IoCreateDevice: a routine that "succeeds" without a device is no kernel's.
NTSTATUS failureStatus(uint32_t raw) {
  auto status = static_cast<NTSTATUS>(raw);
  return NT_SUCCESS(status) ? STATUS_INSUFFICIENT_RESOURCES : status;
}

constexpr uint32_t kStatuses[] = {
    static_cast<uint32_t>(STATUS_SUCCESS),
    static_cast<uint32_t>(STATUS_UNSUCCESSFUL),
    static_cast<uint32_t>(STATUS_NOT_SUPPORTED),
    static_cast<uint32_t>(STATUS_INSUFFICIENT_RESOURCES),
    static_cast<uint32_t>(STATUS_DEVICE_NOT_READY),
    static_cast<uint32_t>(STATUS_BUFFER_OVERFLOW),  // a warning: not a success for the drivers
    0x40000000u,                                    // an informational status: a success
};

constexpr uint32_t kLengths[] = {0,    1,    2,    3,    15,   16,   17,   511,   512,     1000,
                                 1023, 1024, 1025, 2000, 4095, 4096, 4097, 65536, 1u << 20};
constexpr uint32_t kPowerMinors[] = {IRP_MN_WAIT_WAKE, IRP_MN_POWER_SEQUENCE, IRP_MN_SET_POWER, IRP_MN_QUERY_POWER};
constexpr uint32_t kPowerTypes[] = {SystemPowerState, DevicePowerState};
constexpr uint32_t kStates[] = {0, 1, 2, 3, 4, 5, 6, 7};
constexpr uint32_t kDeviceStates[] = {0, 1, 2, 3, 4};
constexpr uint32_t kSystemStates[] = {1, 2, 3, 4, 5, 6};
constexpr uint32_t kActions[] = {0, 1, 2, 3, 4, 5, 6, 7};
constexpr uint32_t kPnpMinors[] = {
    IRP_MN_START_DEVICE,       IRP_MN_QUERY_REMOVE_DEVICE,    IRP_MN_REMOVE_DEVICE,      IRP_MN_CANCEL_REMOVE_DEVICE,
    IRP_MN_STOP_DEVICE,        IRP_MN_QUERY_STOP_DEVICE,      IRP_MN_CANCEL_STOP_DEVICE, IRP_MN_QUERY_DEVICE_RELATIONS,
    IRP_MN_QUERY_CAPABILITIES, IRP_MN_QUERY_PNP_DEVICE_STATE, IRP_MN_SURPRISE_REMOVAL};

uint32_t controlCode(ByteReader& in) {
  constexpr uint32_t kDescription = 0x222000, kTable = 0x222004;
  switch (uint8_t selector = in.u8()) {
    case 0: return kDescription;
    case 1: return kTable;
    case 2:
    case 3:  // one bit away from a real code: function, method, access or device type
      return (selector == 2 ? kDescription : kTable) ^ (1u << (in.u8() % 32));
    case kRaw: return in.u32();
    default: return selector & 1 ? kTable : kDescription;
  }
}

uint32_t controlLength(ByteReader& in, const DriverTraits& traits) {
  const auto description = static_cast<uint32_t>(traits.description.size() * 2);
  const uint32_t table[] = {0, 1, 2, 63, 64, 65, description - 1, description, description + 1, 4096};
  return pick(in, table) % (kMaxControlBuffer + 1);
}

FaultScript addDeviceFaults(ByteReader& in) {
  FaultScript faults;
  faults.createDevice = in.u8() % 2;
  faults.createDeviceStatus = failureStatus(pick(in, kStatuses));
  faults.pool = in.u8() % 3;
  faults.poolSkip = in.u8() % 3;
  faults.attach = in.u8() % 2;
  return faults;
}

Op decodeOne(ByteReader& in, const DriverTraits& traits) {
  Op op;
  const uint8_t selector = in.u8();
  op.kind = static_cast<OpKind>(selector % static_cast<uint8_t>(OpKind::Count));
  // One selector in 256 maps the module afresh: a fresh mapping costs more
  // than the rest of an input, and reloads from the image reset in place
  // serve the driver's load and unload paths just as well.
  if (op.kind == OpKind::Reload) op.remap = selector == static_cast<uint8_t>(OpKind::Reload);
  switch (op.kind) {
    case OpKind::Open: op.path = static_cast<PathVariant>(in.u8() % static_cast<uint8_t>(PathVariant::Count)); break;
    case OpKind::Close: op.handle = in.u8(); break;
    case OpKind::Read:
    case OpKind::Write:
      op.handle = in.u8();
      op.length = pick(in, kLengths) % (kMaxTransfer + 1);
      op.pageOffset = in.u16() % PAGE_SIZE;
      op.byteOffset = (in.u8() & 1) ? static_cast<int64_t>(in.u64()) : 0;
      op.fill = in.u8();
      break;
    case OpKind::Control:
      op.handle = in.u8();
      op.code = controlCode(in);
      op.inLength = controlLength(in, traits);
      op.outLength = controlLength(in, traits);
      op.fill = in.u8();
      break;
    case OpKind::Pnp: op.minor = pick(in, kPnpMinors) & 0xFF; break;
    case OpKind::Power:
      op.minor = pick(in, kPowerMinors) & 0xFF;
      op.powerType = pick(in, kPowerTypes);
      op.state = pick(in, kStates);
      op.action = pick(in, kActions);
      break;
    case OpKind::SystemPower:
      op.state = pick(in, kSystemStates);
      op.action = pick(in, kActions);
      break;
    case OpKind::SetBus:
      op.bus.flags = in.u32();
      for (auto& state : op.bus.deviceState) state = pick(in, kDeviceStates);
      op.bus.systemWake = pick(in, kStates);
      op.bus.deviceWake = pick(in, kDeviceStates);
      op.bus.extra = in.u32();
      op.bus.capabilitiesStatus = nonPending(pick(in, kStatuses));
      op.bus.powerStatus = nonPending(pick(in, kStatuses));
      op.bus.pend = (in.u8() & 1) != 0;
      break;
    case OpKind::Faults:
      op.faults.mapping = in.u8() % 4;
      op.faults.powerRequest = in.u8() % 3;
      op.faults.powerRequestStatus = nonPending(pick(in, kStatuses));
      break;
    case OpKind::Reload:
    case OpKind::AddDeviceAgain: op.faults = addDeviceFaults(in); break;
    case OpKind::RemoveAndWait:
    case OpKind::Unload:
    case OpKind::Count: break;
  }
  return op;
}

// Writes what decodeOne reads, always as raw values.
class Encoder {
 public:
  void u8(uint8_t value) { bytes_.push_back(value); }
  void u16(uint16_t value) {
    u8(static_cast<uint8_t>(value));
    u8(static_cast<uint8_t>(value >> 8));
  }
  void u32(uint32_t value) {
    u16(static_cast<uint16_t>(value));
    u16(static_cast<uint16_t>(value >> 16));
  }
  void u64(uint64_t value) {
    u32(static_cast<uint32_t>(value));
    u32(static_cast<uint32_t>(value >> 32));
  }
  void raw(uint32_t value) {
    u8(kRaw);
    u32(value);
  }
  void faults(const FaultScript& faults) {
    u8(faults.createDevice);
    raw(static_cast<uint32_t>(faults.createDeviceStatus));
    u8(faults.pool);
    u8(faults.poolSkip);
    u8(faults.attach);
  }
  std::vector<uint8_t>& bytes() { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

void encodeOne(Encoder& out, const Op& op) {
  const bool inPlace = op.kind == OpKind::Reload && !op.remap;
  out.u8(static_cast<uint8_t>(static_cast<uint8_t>(op.kind) + (inPlace ? static_cast<uint8_t>(OpKind::Count) : 0)));
  switch (op.kind) {
    case OpKind::Open: out.u8(static_cast<uint8_t>(op.path)); break;
    case OpKind::Close: out.u8(op.handle); break;
    case OpKind::Read:
    case OpKind::Write:
      out.u8(op.handle);
      out.raw(op.length);
      out.u16(op.pageOffset);
      out.u8(op.byteOffset != 0 ? 1 : 0);
      if (op.byteOffset != 0) out.u64(static_cast<uint64_t>(op.byteOffset));
      out.u8(op.fill);
      break;
    case OpKind::Control:
      out.u8(op.handle);
      out.raw(op.code);
      out.raw(op.inLength);
      out.raw(op.outLength);
      out.u8(op.fill);
      break;
    case OpKind::Pnp: out.raw(op.minor); break;
    case OpKind::Power:
      out.raw(op.minor);
      out.raw(op.powerType);
      out.raw(op.state);
      out.raw(op.action);
      break;
    case OpKind::SystemPower:
      out.raw(op.state);
      out.raw(op.action);
      break;
    case OpKind::SetBus:
      out.u32(op.bus.flags);
      for (uint32_t state : op.bus.deviceState) out.raw(state);
      out.raw(op.bus.systemWake);
      out.raw(op.bus.deviceWake);
      out.u32(op.bus.extra);
      out.raw(static_cast<uint32_t>(op.bus.capabilitiesStatus));
      out.raw(static_cast<uint32_t>(op.bus.powerStatus));
      out.u8(op.bus.pend ? 1 : 0);
      break;
    case OpKind::Faults:
      out.u8(op.faults.mapping);
      out.u8(op.faults.powerRequest);
      out.raw(static_cast<uint32_t>(op.faults.powerRequestStatus));
      break;
    case OpKind::Reload:
    case OpKind::AddDeviceAgain: out.faults(op.faults); break;
    case OpKind::RemoveAndWait:
    case OpKind::Unload:
    case OpKind::Count: break;
  }
}

const char* kindName(OpKind kind) {
  static const char* const kNames[] = {"open",
                                       "close",
                                       "read",
                                       "write",
                                       "control",
                                       "pnp",
                                       "power",
                                       "system-power",
                                       "set-bus",
                                       "faults",
                                       "remove-and-wait",
                                       "reload",
                                       "add-device-again",
                                       "unload"};
  auto index = static_cast<size_t>(kind);
  return index < std::size(kNames) ? kNames[index] : "?";
}

}  // namespace

std::vector<Op> decodeOps(std::span<const uint8_t> input, const DriverTraits& traits) {
  ByteReader in(input);
  std::vector<Op> ops;
  while (!in.empty() && ops.size() < kMaxOps) ops.push_back(decodeOne(in, traits));
  return ops;
}

std::vector<uint8_t> encodeOps(const std::vector<Op>& ops) {
  Encoder out;
  for (const Op& op : ops) encodeOne(out, op);
  return std::move(out.bytes());
}

std::string pathFor(PathVariant variant, const DriverTraits& traits) {
  std::string name(traits.deviceName);
  switch (variant) {
    case PathVariant::Exact: return "\\\\.\\" + name;
    case PathVariant::LowerCase: {
      for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      return "\\\\.\\" + name;
    }
    case PathVariant::TrailingSlash: return "\\\\.\\" + name + "\\";
    case PathVariant::SubPath: return "\\\\.\\" + name + "\\sub";
    case PathVariant::DeepSubPath: return "\\\\.\\" + name + "\\a\\b\\c";
    case PathVariant::DoubleTrailing: return "\\\\.\\" + name + "\\\\";
    case PathVariant::NtPrefix: return "\\??\\" + name;
    case PathVariant::LongerName: return "\\\\.\\" + name + "X";
    case PathVariant::NoPrefix: return name;
    case PathVariant::EmptyName:
    case PathVariant::Count: break;
  }
  return "\\\\.\\";
}

std::string describe(const Op& op) {
  char text[256];
  switch (op.kind) {
    case OpKind::Open: std::snprintf(text, sizeof text, "open path-variant %u", static_cast<unsigned>(op.path)); break;
    case OpKind::Close: std::snprintf(text, sizeof text, "close handle #%u", op.handle); break;
    case OpKind::Read:
    case OpKind::Write:
      std::snprintf(text, sizeof text, "%s handle #%u length %u page-offset %u byte-offset %lld fill 0x%02x",
                    kindName(op.kind), op.handle, op.length, op.pageOffset, static_cast<long long>(op.byteOffset),
                    op.fill);
      break;
    case OpKind::Control:
      std::snprintf(text, sizeof text, "control handle #%u code 0x%x in %u out %u", op.handle, op.code, op.inLength,
                    op.outLength);
      break;
    case OpKind::Pnp: std::snprintf(text, sizeof text, "pnp minor 0x%x", op.minor); break;
    case OpKind::Power:
      std::snprintf(text, sizeof text, "power minor 0x%x type %u state %d action %d", op.minor, op.powerType,
                    static_cast<int>(op.state), static_cast<int>(op.action));
      break;
    case OpKind::SystemPower:
      std::snprintf(text, sizeof text, "system-power state %d action %d", static_cast<int>(op.state),
                    static_cast<int>(op.action));
      break;
    case OpKind::SetBus:
      std::snprintf(text, sizeof text,
                    "set-bus flags 0x%x states %d,%d,%d,%d,%d,%d,%d wake %d/%d caps 0x%x power 0x%x pend %d",
                    op.bus.flags, static_cast<int>(op.bus.deviceState[0]), static_cast<int>(op.bus.deviceState[1]),
                    static_cast<int>(op.bus.deviceState[2]), static_cast<int>(op.bus.deviceState[3]),
                    static_cast<int>(op.bus.deviceState[4]), static_cast<int>(op.bus.deviceState[5]),
                    static_cast<int>(op.bus.deviceState[6]), static_cast<int>(op.bus.systemWake),
                    static_cast<int>(op.bus.deviceWake), static_cast<unsigned>(op.bus.capabilitiesStatus),
                    static_cast<unsigned>(op.bus.powerStatus), op.bus.pend ? 1 : 0);
      break;
    case OpKind::Faults:
      std::snprintf(text, sizeof text, "faults mapping %u power-request %u (0x%x)", op.faults.mapping,
                    op.faults.powerRequest, static_cast<unsigned>(op.faults.powerRequestStatus));
      break;
    case OpKind::Reload:
    case OpKind::AddDeviceAgain:
      std::snprintf(text, sizeof text, "%s%s create-device %u (0x%x) pool %u skip %u attach %u", kindName(op.kind),
                    op.kind == OpKind::Reload && !op.remap ? " in place" : "", op.faults.createDevice,
                    static_cast<unsigned>(op.faults.createDeviceStatus), op.faults.pool, op.faults.poolSkip,
                    op.faults.attach);
      break;
    default: std::snprintf(text, sizeof text, "%s", kindName(op.kind)); break;
  }
  return text;
}

}  // namespace pdkit::fuzz
