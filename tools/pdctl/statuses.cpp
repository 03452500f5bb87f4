#include "statuses.h"

#include "errors.h"
#include "numbers.h"

#include "text/ntstatus_names.h"

namespace pdctl {
namespace {

struct ErrorName {
  uint32_t value;
  std::string_view name;
};

constexpr ErrorName kWin32Errors[] = {
    {0, "ERROR_SUCCESS"},
    {1, "ERROR_INVALID_FUNCTION"},
    {2, "ERROR_FILE_NOT_FOUND"},
    {3, "ERROR_PATH_NOT_FOUND"},
    {5, "ERROR_ACCESS_DENIED"},
    {6, "ERROR_INVALID_HANDLE"},
    {8, "ERROR_NOT_ENOUGH_MEMORY"},
    {21, "ERROR_NOT_READY"},
    {31, "ERROR_GEN_FAILURE"},
    {38, "ERROR_HANDLE_EOF"},
    {50, "ERROR_NOT_SUPPORTED"},
    {87, "ERROR_INVALID_PARAMETER"},
    {122, "ERROR_INSUFFICIENT_BUFFER"},
    {123, "ERROR_INVALID_NAME"},
    {183, "ERROR_ALREADY_EXISTS"},
    {234, "ERROR_MORE_DATA"},
    {258, "WAIT_TIMEOUT"},
    {317, "ERROR_MR_MID_NOT_FOUND"},
    {433, "ERROR_NO_SUCH_DEVICE"},
    {739, "ERROR_ALERTED"},
    {995, "ERROR_OPERATION_ABORTED"},
    {997, "ERROR_IO_PENDING"},
    {1117, "ERROR_IO_DEVICE"},
    {1450, "ERROR_NO_SYSTEM_RESOURCES"},
    {1617, "ERROR_DEVICE_REMOVED"},
};

}  // namespace

int32_t parseStatus(std::string_view word, std::string_view what) {
  if (int32_t value; parseSigned(word, value)) return value;
  if (const auto* entry = pdkit::text::findStatusNamed(word)) return static_cast<int32_t>(entry->value);
  throw CommandError("bad " + std::string(what) + " " + inQuotes(word) +
                     ": expected an NTSTATUS as a number (e.g. 0xC0000001) or a name such as "
                     "STATUS_UNSUCCESSFUL, STATUS_INSUFFICIENT_RESOURCES or STATUS_NOT_SUPPORTED");
}

std::string statusNameOf(int32_t status) { return pdkit::text::statusName(static_cast<uint32_t>(status)); }

std::string_view win32NameOf(uint32_t error) {
  for (const auto& entry : kWin32Errors) {
    if (entry.value == error) return entry.name;
  }
  return {};
}

int32_t statusForWin32(uint32_t error) {
  struct Pair {
    uint32_t error;
    uint32_t status;
  };
  static constexpr Pair kPairs[] = {
      {0, 0x00000000},     // STATUS_SUCCESS
      {1, 0xC0000010},     // STATUS_INVALID_DEVICE_REQUEST
      {2, 0xC0000034},     // STATUS_OBJECT_NAME_NOT_FOUND
      {3, 0xC000003A},     // STATUS_OBJECT_PATH_NOT_FOUND
      {5, 0xC0000022},     // STATUS_ACCESS_DENIED
      {6, 0xC0000008},     // STATUS_INVALID_HANDLE
      {38, 0xC0000011},    // STATUS_END_OF_FILE
      {50, 0xC00000BB},    // STATUS_NOT_SUPPORTED
      {87, 0xC000000D},    // STATUS_INVALID_PARAMETER
      {122, 0xC0000023},   // STATUS_BUFFER_TOO_SMALL
      {123, 0xC0000033},   // STATUS_OBJECT_NAME_INVALID
      {234, 0x80000005},   // STATUS_BUFFER_OVERFLOW
      {433, 0xC000000E},   // STATUS_NO_SUCH_DEVICE
      {1450, 0xC000009A},  // STATUS_INSUFFICIENT_RESOURCES
  };
  for (const auto& pair : kPairs) {
    if (pair.error == error) return static_cast<int32_t>(pair.status);
  }
  return kStatusUnsuccessful;
}

}  // namespace pdctl
