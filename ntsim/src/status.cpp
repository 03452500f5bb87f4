// NTSTATUS names and the Win32 errors RtlNtStatusToDosError gives for them.
#include "state.h"

namespace ntsim {
namespace {

struct StatusEntry {
  NTSTATUS status;
  const char* name;
  uint32_t win32;
};

constexpr StatusEntry kStatuses[] = {
    {STATUS_SUCCESS, "STATUS_SUCCESS", 0},
    {STATUS_ALERTED, "STATUS_ALERTED", 739},
    {STATUS_TIMEOUT, "STATUS_TIMEOUT", 258},
    {STATUS_PENDING, "STATUS_PENDING", 997},
    {STATUS_BUFFER_OVERFLOW, "STATUS_BUFFER_OVERFLOW", 234},
    {STATUS_DEVICE_BUSY, "STATUS_DEVICE_BUSY", 170},
    {STATUS_NO_MORE_ENTRIES, "STATUS_NO_MORE_ENTRIES", 259},
    {STATUS_PLUGPLAY_QUERY_VETOED, "STATUS_PLUGPLAY_QUERY_VETOED", 683},
    {STATUS_UNSUCCESSFUL, "STATUS_UNSUCCESSFUL", 31},
    {STATUS_NOT_IMPLEMENTED, "STATUS_NOT_IMPLEMENTED", 1},
    {STATUS_INVALID_PARAMETER, "STATUS_INVALID_PARAMETER", 87},
    {STATUS_NO_SUCH_DEVICE, "STATUS_NO_SUCH_DEVICE", 2},  // ERROR_FILE_NOT_FOUND, not ERROR_NO_SUCH_DEVICE
    {STATUS_INVALID_DEVICE_REQUEST, "STATUS_INVALID_DEVICE_REQUEST", 1},
    {STATUS_END_OF_FILE, "STATUS_END_OF_FILE", 38},
    {STATUS_MORE_PROCESSING_REQUIRED, "STATUS_MORE_PROCESSING_REQUIRED", 234},
    {STATUS_NO_MEMORY, "STATUS_NO_MEMORY", 8},
    {STATUS_ACCESS_DENIED, "STATUS_ACCESS_DENIED", 5},
    {STATUS_BUFFER_TOO_SMALL, "STATUS_BUFFER_TOO_SMALL", 122},
    {STATUS_OBJECT_NAME_INVALID, "STATUS_OBJECT_NAME_INVALID", 123},
    {STATUS_OBJECT_NAME_NOT_FOUND, "STATUS_OBJECT_NAME_NOT_FOUND", 2},
    {STATUS_OBJECT_NAME_COLLISION, "STATUS_OBJECT_NAME_COLLISION", 183},
    {STATUS_OBJECT_PATH_NOT_FOUND, "STATUS_OBJECT_PATH_NOT_FOUND", 3},
    {STATUS_DELETE_PENDING, "STATUS_DELETE_PENDING", 5},
    {STATUS_INSUFFICIENT_RESOURCES, "STATUS_INSUFFICIENT_RESOURCES", 1450},
    {STATUS_DEVICE_NOT_READY, "STATUS_DEVICE_NOT_READY", 21},
    {STATUS_IO_DEVICE_ERROR, "STATUS_IO_DEVICE_ERROR", 1117},
    {STATUS_IO_TIMEOUT, "STATUS_IO_TIMEOUT", 121},
    {STATUS_NOT_SUPPORTED, "STATUS_NOT_SUPPORTED", 50},
    {STATUS_INVALID_PARAMETER_1, "STATUS_INVALID_PARAMETER_1", 87},
    {STATUS_INVALID_PARAMETER_2, "STATUS_INVALID_PARAMETER_2", 87},
    {STATUS_INVALID_PARAMETER_3, "STATUS_INVALID_PARAMETER_3", 87},
    {STATUS_CANCELLED, "STATUS_CANCELLED", 995},
    {STATUS_DEVICE_REMOVED, "STATUS_DEVICE_REMOVED", 1617},
    {STATUS_POWER_STATE_INVALID, "STATUS_POWER_STATE_INVALID", 1},
};

const StatusEntry* find(NTSTATUS status) {
  for (const auto& entry : kStatuses) {
    if (entry.status == status) return &entry;
  }
  return nullptr;
}

}  // namespace

std::string statusName(NTSTATUS status) {
  if (const auto* entry = find(status)) return entry->name;
  char text[24];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
  return text;
}

uint32_t win32ErrorOf(NTSTATUS status) {
  if (const auto* entry = find(status)) return entry->win32;
  // Unknown success and informational codes map to themselves on Windows;
  // unknown errors to ERROR_MR_MID_NOT_FOUND (317).
  if (NT_SUCCESS(status)) return static_cast<uint32_t>(status);
  return 317;
}

std::string narrow(const UNICODE_STRING& s) {
  std::string out;
  if (s.Buffer == nullptr) return out;
  const auto* units = reinterpret_cast<const uint16_t*>(s.Buffer);
  for (size_t i = 0; i < s.Length / 2; ++i) {
    uint16_t unit = units[i];
    out.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
  }
  return out;
}

std::u16string widen(std::string_view s) {
  std::u16string out;
  for (char c : s) out.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace ntsim
