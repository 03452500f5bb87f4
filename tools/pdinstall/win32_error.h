// Failures of Win32 and SetupAPI calls, with the error code, the system's
// text for it and, for the usual suspects, what to do about it.
#pragma once

#include <windows.h>

#include <string>

namespace pdinstall {

class Win32Error {
 public:
  // `call` names what failed, e.g. L"SetupDiCallClassInstaller(DIF_REGISTERDEVICE)".
  Win32Error(std::wstring call, DWORD code) : call_(std::move(call)), code_(code) {}

  DWORD code() const { return code_; }
  // "<call> failed: error 5 (0x00000005, Access is denied.)" and a hint line.
  std::wstring message() const;

 private:
  std::wstring call_;
  DWORD code_;
};

// Throws Win32Error with GetLastError() when `ok` is false.
void check(BOOL ok, const wchar_t* call);

// The system's description of `code`, or its SetupAPI name; never empty.
std::wstring describe(DWORD code);

// What the user can do about `code`, or an empty string.
std::wstring hint(DWORD code);

}  // namespace pdinstall
