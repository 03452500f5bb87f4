// NTSTATUS and Win32 error names: for reading statuses given on the command
// line, and for naming results where the backend has no names of its own.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace pdctl {

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
