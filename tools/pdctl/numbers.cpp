#include "numbers.h"

#include "errors.h"

#include <cctype>

namespace pdctl {
namespace {

bool equalNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

// Parses digits in the given base; false when a character is not a digit or the value overflows 32 bits.
bool parseDigits(std::string_view digits, unsigned base, uint64_t limit, uint64_t& value) {
  if (digits.empty()) return false;
  value = 0;
  for (char c : digits) {
    unsigned digit;
    if (c >= '0' && c <= '9')
      digit = static_cast<unsigned>(c - '0');
    else if (base == 16 && c >= 'a' && c <= 'f')
      digit = static_cast<unsigned>(c - 'a' + 10);
    else if (base == 16 && c >= 'A' && c <= 'F')
      digit = static_cast<unsigned>(c - 'A' + 10);
    else
      return false;
    if (digit >= base) return false;
    value = value * base + digit;
    if (value > limit) return false;
  }
  return true;
}

// A negative decimal is taken only where `negative` allows it (as two's complement).
bool tryParse(std::string_view word, uint32_t& out, bool negative = false) {
  uint64_t value = 0;
  if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
    if (!parseDigits(word.substr(2), 16, 0xFFFFFFFFu, value)) return false;
  } else if (!word.empty() && word[0] == '-') {
    if (!negative || !parseDigits(word.substr(1), 10, 0x80000000u, value)) return false;
    value = (~value + 1) & 0xFFFFFFFFu;
  } else if (!parseDigits(word, 10, 0xFFFFFFFFu, value)) {
    return false;
  }
  out = static_cast<uint32_t>(value);
  return true;
}

constexpr NamedValue kSystemStates[] = {
    {"PowerSystemUnspecified", 0, true},
    {"unspecified", 0},
    {"PowerSystemWorking", 1, true},
    {"S0", 1},
    {"working", 1},
    {"PowerSystemSleeping1", 2, true},
    {"S1", 2},
    {"PowerSystemSleeping2", 3, true},
    {"S2", 3},
    {"PowerSystemSleeping3", 4, true},
    {"S3", 4},
    {"PowerSystemHibernate", 5, true},
    {"S4", 5},
    {"hibernate", 5},
    {"PowerSystemShutdown", 6, true},
    {"S5", 6},
    {"shutdown", 6},
    {"PowerSystemMaximum", 7, true},
};

constexpr NamedValue kDeviceStates[] = {
    {"PowerDeviceUnspecified", 0, true}, {"unspecified", 0}, {"PowerDeviceD0", 1, true},      {"D0", 1},
    {"PowerDeviceD1", 2, true},          {"D1", 2},          {"PowerDeviceD2", 3, true},      {"D2", 3},
    {"PowerDeviceD3", 4, true},          {"D3", 4},          {"PowerDeviceMaximum", 5, true},
};

constexpr NamedValue kPowerActions[] = {
    {"PowerActionNone", 0, true},
    {"none", 0},
    {"PowerActionReserved", 1, true},
    {"reserved", 1},
    {"PowerActionSleep", 2, true},
    {"sleep", 2},
    {"PowerActionHibernate", 3, true},
    {"hibernate", 3},
    {"PowerActionShutdown", 4, true},
    {"shutdown", 4},
    {"PowerActionShutdownReset", 5, true},
    {"shutdown-reset", 5},
    {"reset", 5},
    {"PowerActionShutdownOff", 6, true},
    {"shutdown-off", 6},
    {"off", 6},
    {"PowerActionWarmEject", 7, true},
    {"warm-eject", 7},
};

constexpr NamedValue kPnpMinors[] = {
    {"IRP_MN_START_DEVICE", 0x00, true},
    {"start", 0x00},
    {"IRP_MN_QUERY_REMOVE_DEVICE", 0x01, true},
    {"query-remove", 0x01},
    {"IRP_MN_REMOVE_DEVICE", 0x02, true},
    {"remove", 0x02},
    {"IRP_MN_CANCEL_REMOVE_DEVICE", 0x03, true},
    {"cancel-remove", 0x03},
    {"IRP_MN_STOP_DEVICE", 0x04, true},
    {"stop", 0x04},
    {"IRP_MN_QUERY_STOP_DEVICE", 0x05, true},
    {"query-stop", 0x05},
    {"IRP_MN_CANCEL_STOP_DEVICE", 0x06, true},
    {"cancel-stop", 0x06},
    {"IRP_MN_QUERY_DEVICE_RELATIONS", 0x07, true},
    {"relations", 0x07},
    {"IRP_MN_QUERY_INTERFACE", 0x08, true},
    {"interface", 0x08},
    {"IRP_MN_QUERY_CAPABILITIES", 0x09, true},
    {"caps", 0x09},
    {"IRP_MN_QUERY_RESOURCES", 0x0A, true},
    {"resources", 0x0A},
    {"IRP_MN_QUERY_RESOURCE_REQUIREMENTS", 0x0B, true},
    {"requirements", 0x0B},
    {"IRP_MN_QUERY_DEVICE_TEXT", 0x0C, true},
    {"text", 0x0C},
    {"IRP_MN_FILTER_RESOURCE_REQUIREMENTS", 0x0D, true},
    {"filter", 0x0D},
    {"IRP_MN_READ_CONFIG", 0x0F, true},
    {"read-config", 0x0F},
    {"IRP_MN_WRITE_CONFIG", 0x10, true},
    {"write-config", 0x10},
    {"IRP_MN_EJECT", 0x11, true},
    {"eject", 0x11},
    {"IRP_MN_SET_LOCK", 0x12, true},
    {"set-lock", 0x12},
    {"IRP_MN_QUERY_ID", 0x13, true},
    {"id", 0x13},
    {"IRP_MN_QUERY_PNP_DEVICE_STATE", 0x14, true},
    {"pnp-state", 0x14},
    {"IRP_MN_QUERY_BUS_INFORMATION", 0x15, true},
    {"bus-information", 0x15},
    {"IRP_MN_DEVICE_USAGE_NOTIFICATION", 0x16, true},
    {"usage", 0x16},
    {"IRP_MN_SURPRISE_REMOVAL", 0x17, true},
    {"surprise-removal", 0x17},
};

constexpr NamedValue kPowerMinors[] = {
    {"IRP_MN_WAIT_WAKE", 0, true}, {"wait-wake", 0}, {"IRP_MN_POWER_SEQUENCE", 1, true}, {"sequence", 1},
    {"IRP_MN_SET_POWER", 2, true}, {"set", 2},       {"IRP_MN_QUERY_POWER", 3, true},    {"query", 3},
};

}  // namespace

bool isNumber(std::string_view word) {
  uint32_t ignored;
  return tryParse(word, ignored);
}

uint32_t parseNumber(std::string_view word, std::string_view what) {
  uint32_t value;
  if (!tryParse(word, value)) {
    uint32_t ignored;
    if (tryParse(word, ignored, true)) {
      throw CommandError(std::string(what) + " " + printable(word) +
                         " is negative: expected 0 to 4294967295 (0xFFFFFFFF), in decimal or 0x-hex");
    }
    throw CommandError("bad number " + inQuotes(word) + " for " + std::string(what) +
                       ": expected a 32-bit value in decimal or 0x-hex (e.g. 16 or 0x10)");
  }
  return value;
}

bool parseSigned(std::string_view word, int32_t& out) {
  uint32_t value;
  if (!tryParse(word, value, true)) return false;
  out = static_cast<int32_t>(value);
  return true;
}

uint32_t parseLength(std::string_view word, std::string_view what) {
  uint32_t value = parseNumber(word, what);
  if (value > kMaxLength) {
    throw CommandError(std::string(what) + " " + std::string(word) + " is over the limit: expected at most 16 MiB (" +
                       std::to_string(kMaxLength) + " bytes)");
  }
  return value;
}

uint32_t parseNamed(std::string_view word, std::span<const NamedValue> table, std::string_view what) {
  uint32_t value;
  if (tryParse(word, value)) return value;
  if (tryParse(word, value, true)) parseNumber(word, what);  // says it is negative
  for (const auto& entry : table) {
    if (equalNoCase(entry.name, word)) return entry.value;
  }
  throw CommandError("bad " + std::string(what) + " " + inQuotes(word) + ": expected a number or one of " +
                     namesOf(table));
}

std::string_view nameOf(uint32_t value, std::span<const NamedValue> table) {
  for (const auto& entry : table) {
    if (entry.display && entry.value == value) return entry.name;
  }
  return {};
}

std::string namesOf(std::span<const NamedValue> table) {
  std::string names;
  for (const auto& entry : table) {
    if (entry.display) continue;
    if (!names.empty()) names += ", ";
    names += entry.name;
  }
  return names;
}

std::span<const NamedValue> systemStates() { return kSystemStates; }
std::span<const NamedValue> deviceStates() { return kDeviceStates; }
std::span<const NamedValue> powerActions() { return kPowerActions; }
std::span<const NamedValue> pnpMinors() { return kPnpMinors; }
std::span<const NamedValue> powerMinors() { return kPowerMinors; }

uint32_t actionForSystemState(uint32_t state) {
  if (state >= kPowerSystemSleeping1 && state <= kPowerSystemSleeping3) return kPowerActionSleep;
  if (state == kPowerSystemHibernate) return kPowerActionHibernate;
  if (state == kPowerSystemShutdown) return kPowerActionShutdown;
  return kPowerActionNone;
}

std::string printable(std::string_view text, size_t limit) {
  std::string out;
  size_t shown = text.size() > limit ? limit : text.size();
  for (size_t i = 0; i < shown; ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F) {
      out += "\\x";
      pdkit::text::appendHexByte(out, c);
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  if (shown < text.size()) out += "... (" + std::to_string(text.size()) + " characters)";
  return out;
}

std::string inQuotes(std::string_view text) { return "'" + printable(text) + "'"; }

std::string lower(std::string_view text) {
  std::string out(text);
  for (auto& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace pdctl
