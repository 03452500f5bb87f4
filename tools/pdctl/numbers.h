// Numbers and names on the command line: decimal or 0x-hex values that are
// passed through as given, lengths with their limit, and the names of the
// kernel's power states, power actions and minor codes.
#pragma once

#include "text/hex.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace pdctl {

// The largest buffer pdctl hands to a driver in one request.
inline constexpr uint32_t kMaxLength = 16u * 1024u * 1024u;

struct NamedValue {
  std::string_view name;  // accepted on input, case-insensitive
  uint32_t value;
  bool display = false;  // the name shown for this value on output
};

// Any 32-bit value: decimal or 0x-hex; a negative number is refused.
// `what` names the argument in the error message.
uint32_t parseNumber(std::string_view word, std::string_view what);
bool isNumber(std::string_view word);
// A signed 32-bit value: decimal (also negative) or 0x-hex (as given); false when it is not one.
bool parseSigned(std::string_view word, int32_t& out);
// A byte count of at most kMaxLength.
uint32_t parseLength(std::string_view word, std::string_view what);

// A number, or one of the names in the table.
uint32_t parseNamed(std::string_view word, std::span<const NamedValue> table, std::string_view what);
// The display name of a value, or "" when the table has none.
std::string_view nameOf(uint32_t value, std::span<const NamedValue> table);
// The accepted short names, for error messages and help: "S0, S1, ...".
std::string namesOf(std::span<const NamedValue> table);

std::span<const NamedValue> systemStates();  // SYSTEM_POWER_STATE
std::span<const NamedValue> deviceStates();  // DEVICE_POWER_STATE
std::span<const NamedValue> powerActions();  // POWER_ACTION
std::span<const NamedValue> pnpMinors();     // IRP_MN_* of IRP_MJ_PNP
std::span<const NamedValue> powerMinors();   // IRP_MN_* of IRP_MJ_POWER

// The values of the kernel's power enumerations that pdctl itself uses.
inline constexpr uint32_t kSystemPowerState = 0;    // POWER_STATE_TYPE SystemPowerState
inline constexpr uint32_t kDevicePowerState = 1;    // POWER_STATE_TYPE DevicePowerState
inline constexpr uint32_t kPowerSystemWorking = 1;  // S0
inline constexpr uint32_t kPowerSystemSleeping1 = 2;
inline constexpr uint32_t kPowerSystemSleeping3 = 4;
inline constexpr uint32_t kPowerSystemHibernate = 5;
inline constexpr uint32_t kPowerSystemShutdown = 6;
inline constexpr uint32_t kPowerActionNone = 0;
inline constexpr uint32_t kPowerActionSleep = 2;
inline constexpr uint32_t kPowerActionHibernate = 3;
inline constexpr uint32_t kPowerActionShutdown = 4;
inline constexpr uint32_t kIrpMnSetPower = 0x02;
inline constexpr uint32_t kIrpMnQueryPower = 0x03;

// The POWER_ACTION the power manager sends with a system state: sleep for
// S1 to S3, hibernate for S4, shutdown for S5, none otherwise.
uint32_t actionForSystemState(uint32_t state);

using pdkit::text::hex32;  // 0x0000002A
std::string lower(std::string_view text);
// User text as messages and echoes show it: control characters as \xNN,
// anything past `limit` characters cut ("... (N characters)").
std::string printable(std::string_view text, size_t limit = 60);
// The longest error message shown; the words it quotes are cut long before.
inline constexpr size_t kMaxMessage = 4000;
// printable(text) in single quotes, for naming a word in a message.
std::string inQuotes(std::string_view text);

}  // namespace pdctl
