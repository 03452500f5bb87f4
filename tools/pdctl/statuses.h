// NTSTATUS and Win32 error names: for reading statuses given on the command
// line, and for naming results where the backend has no names of its own.
// The NTSTATUS names are pdkit's one table (lib/text/ntstatus_names.h).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace pdctl {

// The NTSTATUS values pdctl's own code names: Windows' STATUS_* names in
// camel case (those names are macros in the kernel headers, which ntsim's
// backend includes).
inline constexpr int32_t kStatusUnsuccessful = static_cast<int32_t>(0xC0000001);
inline constexpr int32_t kStatusObjectNameNotFound = static_cast<int32_t>(0xC0000034);
inline constexpr int32_t kStatusInsufficientResources = static_cast<int32_t>(0xC000009A);

// A status given by name (STATUS_UNSUCCESSFUL, or without the STATUS_ prefix) or as a number.
int32_t parseStatus(std::string_view word, std::string_view what);
// The status's name, or its value as 0xC0000001 when it has none here.
std::string statusNameOf(int32_t status);
// The NTSTATUS that the I/O manager maps to a Win32 error, for the common ones
// (STATUS_UNSUCCESSFUL for the rest): where only the Win32 error is known.
int32_t statusForWin32(uint32_t error);
// ERROR_INVALID_FUNCTION and friends; "" when the error has no name here.
std::string_view win32NameOf(uint32_t error);

}  // namespace pdctl
