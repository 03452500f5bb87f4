// The operations a fuzz input is made of, how bytes decode into them and how
// they encode back into bytes (the seed corpora are written that way).
//
// Every field that is a choice is a selector byte followed, for the
// selector 0xFF, by a raw 32-bit payload; any other selector takes a value
// from the field's table of interesting values. So the mutator hits those
// values most of the time and can still reach any other.
#pragma once

#include "byte_reader.h"

#include <wdm.h>

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace pdkit::fuzz {

struct DriverTraits;

enum class OpKind : uint8_t {
  Open,
  Close,
  Read,
  Write,
  Control,
  Pnp,
  Power,
  SystemPower,
  SetBus,
  Faults,
  RemoveAndWait,
  Reload,
  AddDeviceAgain,
  Unload,
  Count
};

// The ways a program names the device when it opens it.
enum class PathVariant : uint8_t {
  Exact,           // \\.\NAME
  LowerCase,       // \\.\name
  TrailingSlash,   // \\.\NAME\ (a trailing backslash)
  SubPath,         // \\.\NAME\sub
  DeepSubPath,     // \\.\NAME\a\b\c
  DoubleTrailing,  // \\.\NAME\\ (two trailing backslashes)
  NtPrefix,        // \??\NAME
  LongerName,      // \\.\NAMEX: another name, not found
  NoPrefix,        // NAME: not a path the I/O manager accepts
  EmptyName,       // \\.\ with nothing after it
  Count
};

// What the bus below the device answers, set by SetBus.
struct BusScript {
  uint32_t flags = 0;  // DEVICE_CAPABILITIES' flag word
  std::array<uint32_t, 7> deviceState{};
  uint32_t systemWake = 0;
  uint32_t deviceWake = 0;
  uint32_t extra = 0;  // seeds Address, UINumber and the three latencies
  NTSTATUS capabilitiesStatus = STATUS_SUCCESS;
  NTSTATUS powerStatus = STATUS_SUCCESS;
  bool pend = false;

  bool operator==(const BusScript&) const = default;
};

// Failures injected into the kernel's routines.
struct FaultScript {
  uint8_t mapping = 0;       // MmMapLockedPagesSpecifyCache
  uint8_t powerRequest = 0;  // PoRequestPowerIrp
  NTSTATUS powerRequestStatus = STATUS_INSUFFICIENT_RESOURCES;
  uint8_t createDevice = 0;  // IoCreateDevice, in the next AddDevice
  NTSTATUS createDeviceStatus = STATUS_INSUFFICIENT_RESOURCES;
  uint8_t pool = 0;      // ExAllocatePoolWithTag, in the next AddDevice
  uint8_t poolSkip = 0;  // ... after letting this many succeed
  uint8_t attach = 0;    // IoAttachDeviceToDeviceStack, in the next AddDevice

  bool operator==(const FaultScript&) const = default;
};

struct Op {
  OpKind kind = OpKind::Open;
  uint8_t handle = 0;  // Close, Read, Write, Control: which open handle (modulo their number)
  PathVariant path = PathVariant::Exact;
  uint32_t length = 0;      // Read, Write
  uint16_t pageOffset = 0;  // Read, Write: where the caller's buffer starts in its page
  int64_t byteOffset = 0;   // Read, Write
  uint8_t fill = 0;         // Write, Control: seed of the bytes sent
  uint32_t code = 0;        // Control
  uint32_t inLength = 0;    // Control
  uint32_t outLength = 0;   // Control
  uint32_t minor = 0;       // Pnp, Power
  uint32_t powerType = 0;   // Power
  uint32_t state = 0;       // Power, SystemPower
  uint32_t action = 0;      // Power, SystemPower
  BusScript bus;            // SetBus
  FaultScript faults;       // Faults, Reload, AddDeviceAgain
  bool remap = true;        // Reload: the module mapped afresh, else loaded from the image reset in place

  bool operator==(const Op&) const = default;
};

// Longest transfer a fuzz input asks for: large enough to be "huge" for a
// 1024-byte store, small enough to keep executions fast.
inline constexpr uint32_t kMaxTransfer = 1u << 20;
inline constexpr uint32_t kMaxControlBuffer = 1u << 16;
inline constexpr size_t kMaxOps = 64;

// Decodes a whole input; stops at kMaxOps operations.
std::vector<Op> decodeOps(std::span<const uint8_t> input, const DriverTraits& traits);
// The bytes that decode to exactly these operations.
std::vector<uint8_t> encodeOps(const std::vector<Op>& ops);
// One line describing an operation, for failure reports.
std::string describe(const Op& op);
// The text a program passes to open the device in this way.
std::string pathFor(PathVariant variant, const DriverTraits& traits);

}  // namespace pdkit::fuzz
