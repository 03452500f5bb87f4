#include "text/ntstatus_names.h"

#include "text/hex.h"

#include <cctype>

namespace pdkit::text {
namespace {

// The values are the kernel's own (ntstatus.h); the Win32 errors are those of
// RtlNtStatusToDosError.
constexpr StatusEntry kStatuses[] = {
    {0x00000000, "STATUS_SUCCESS", 0},
    {0x00000001, "STATUS_WAIT_1", 1},
    {0x00000080, "STATUS_ABANDONED", 735},
    {0x00000101, "STATUS_ALERTED", 739},
    {0x00000102, "STATUS_TIMEOUT", 258},
    {0x00000103, "STATUS_PENDING", 997},
    {0x80000005, "STATUS_BUFFER_OVERFLOW", 234},
    {0x80000011, "STATUS_DEVICE_BUSY", 170},
    {0x80000016, "STATUS_VERIFY_REQUIRED", 1110},
    {0x8000001A, "STATUS_NO_MORE_ENTRIES", 259},
    {0x80000028, "STATUS_PLUGPLAY_QUERY_VETOED", 683},
    {0xC0000001, "STATUS_UNSUCCESSFUL", 31},
    {0xC0000002, "STATUS_NOT_IMPLEMENTED", 1},
    {0xC0000004, "STATUS_INFO_LENGTH_MISMATCH", 24},
    {0xC0000005, "STATUS_ACCESS_VIOLATION", 998},
    {0xC0000008, "STATUS_INVALID_HANDLE", 6},
    {0xC000000D, "STATUS_INVALID_PARAMETER", 87},
    {0xC000000E, "STATUS_NO_SUCH_DEVICE", 2},  // ERROR_FILE_NOT_FOUND, not ERROR_NO_SUCH_DEVICE
    {0xC000000F, "STATUS_NO_SUCH_FILE", 2},
    {0xC0000010, "STATUS_INVALID_DEVICE_REQUEST", 1},
    {0xC0000011, "STATUS_END_OF_FILE", 38},
    {0xC0000013, "STATUS_NO_MEDIA_IN_DEVICE", 21},
    {0xC0000016, "STATUS_MORE_PROCESSING_REQUIRED", 234},
    {0xC0000017, "STATUS_NO_MEMORY", 8},
    {0xC000001D, "STATUS_ILLEGAL_INSTRUCTION", 1960},
    {0xC0000022, "STATUS_ACCESS_DENIED", 5},
    {0xC0000023, "STATUS_BUFFER_TOO_SMALL", 122},
    {0xC000002A, "STATUS_NOT_LOCKED", 158},
    {0xC0000030, "STATUS_INVALID_PARAMETER_MIX", 87},
    {0xC0000033, "STATUS_OBJECT_NAME_INVALID", 123},
    {0xC0000034, "STATUS_OBJECT_NAME_NOT_FOUND", 2},
    {0xC0000035, "STATUS_OBJECT_NAME_COLLISION", 183},
    {0xC000003A, "STATUS_OBJECT_PATH_NOT_FOUND", 3},
    {0xC000003B, "STATUS_OBJECT_PATH_SYNTAX_BAD", 161},
    {0xC0000043, "STATUS_SHARING_VIOLATION", 32},
    {0xC0000046, "STATUS_MUTANT_NOT_OWNED", 288},
    {0xC0000056, "STATUS_DELETE_PENDING", 5},
    {0xC0000061, "STATUS_PRIVILEGE_NOT_HELD", 1314},
    {0xC000007F, "STATUS_DISK_FULL", 112},
    {0xC0000094, "STATUS_INTEGER_DIVIDE_BY_ZERO", 317},
    {0xC000009A, "STATUS_INSUFFICIENT_RESOURCES", 1450},
    {0xC000009C, "STATUS_DEVICE_DATA_ERROR", 23},
    {0xC000009D, "STATUS_DEVICE_NOT_CONNECTED", 1167},
    {0xC00000A2, "STATUS_MEDIA_WRITE_PROTECTED", 19},
    {0xC00000A3, "STATUS_DEVICE_NOT_READY", 21},
    {0xC00000B5, "STATUS_IO_TIMEOUT", 121},
    {0xC00000BB, "STATUS_NOT_SUPPORTED", 50},
    {0xC00000E8, "STATUS_INVALID_USER_BUFFER", 1784},
    {0xC00000EF, "STATUS_INVALID_PARAMETER_1", 87},
    {0xC00000F0, "STATUS_INVALID_PARAMETER_2", 87},
    {0xC00000F1, "STATUS_INVALID_PARAMETER_3", 87},
    {0xC0000120, "STATUS_CANCELLED", 995},
    {0xC0000184, "STATUS_INVALID_DEVICE_STATE", 5023},
    {0xC0000185, "STATUS_IO_DEVICE_ERROR", 1117},
    {0xC0000206, "STATUS_INVALID_BUFFER_SIZE", 1784},
    {0xC0000225, "STATUS_NOT_FOUND", 1168},
    {0xC000022D, "STATUS_RETRY", 1237},
    {0xC0000240, "STATUS_REQUEST_ABORTED", 1235},
    {0xC00002B6, "STATUS_DEVICE_REMOVED", 1617},
    {0xC00002D3, "STATUS_POWER_STATE_INVALID", 1},
};

constexpr std::string_view kPrefix = "STATUS_";

bool equalNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

}  // namespace

const StatusEntry* findStatus(uint32_t value) {
  for (const auto& entry : kStatuses) {
    if (entry.value == value) return &entry;
  }
  return nullptr;
}

const StatusEntry* findStatusNamed(std::string_view name) {
  for (const auto& entry : kStatuses) {
    if (equalNoCase(entry.name, name) || equalNoCase(entry.name.substr(kPrefix.size()), name)) return &entry;
  }
  return nullptr;
}

std::string statusName(uint32_t value) {
  if (const StatusEntry* entry = findStatus(value)) return std::string(entry->name);
  return hex32(value);
}

}  // namespace pdkit::text
