// The three things pdinstall does. Each returns the process exit status
// (see usage in main.cpp) and throws Win32Error when a system call fails.
#pragma once

#include <string>

namespace pdinstall {

namespace exit_status {
inline constexpr int ok = 0;
inline constexpr int failed = 1;
inline constexpr int usage = 2;
inline constexpr int no_device = 3;
}  // namespace exit_status

// Creates a root-enumerated device node with hardware ID `hwid` and installs
// the driver `inf` names for it; updates the driver of an existing node instead.
int install(const std::wstring& inf, const std::wstring& hwid);
// Removes every device node with hardware ID `hwid`.
int remove(const std::wstring& hwid);
// Lists the device nodes with hardware ID `hwid` and their state.
int status(const std::wstring& hwid);

}  // namespace pdinstall
