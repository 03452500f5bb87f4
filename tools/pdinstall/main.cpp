// pdinstall: installs, removes and inspects the pseudo-device drivers'
// root-enumerated devices on Windows.
#include <windows.h>

#include <string>

#include "commands.h"
#include "console.h"
#include "win32_error.h"

namespace {

constexpr const wchar_t* usage =
    L"usage: pdinstall install <inf> <hardware-id>\n"
    L"       pdinstall remove <hardware-id>\n"
    L"       pdinstall status <hardware-id>\n"
    L"\n"
    L"  install  creates a root-enumerated device with the hardware ID and installs the\n"
    L"           driver the INF names for it (or updates the driver of an existing one)\n"
    L"  remove   removes every device with the hardware ID\n"
    L"  status   lists the devices with the hardware ID, their driver and state\n"
    L"\n"
    L"  example: pdinstall install tavrin.inf Root\\TAVRINDEV\n"
    L"  The driver (.sys) and the catalog (.cat) the INF names must sit beside it, unchanged.\n"
    L"Install and remove need an elevated (administrator) prompt.\n"
    L"Exit status: 0 done, 1 a system call failed, 2 bad usage, 3 no such device.\n";

int bad_usage(const std::wstring& why) {
  pdinstall::print_error(L"pdinstall: " + why + L"\n\n" + usage);
  return pdinstall::exit_status::usage;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return bad_usage(L"no command given");
  const std::wstring command = argv[1];
  try {
    if (command == L"install") {
      if (argc != 4) return bad_usage(L"install takes an INF file and a hardware ID");
      return pdinstall::install(argv[2], argv[3]);
    }
    if (command == L"remove") {
      if (argc != 3) return bad_usage(L"remove takes a hardware ID");
      return pdinstall::remove(argv[2]);
    }
    if (command == L"status") {
      if (argc != 3) return bad_usage(L"status takes a hardware ID");
      return pdinstall::status(argv[2]);
    }
    if (command == L"help" || command == L"--help" || command == L"/?") {
      pdinstall::print(usage);
      return pdinstall::exit_status::ok;
    }
    return bad_usage(L"unknown command \"" + command + L"\"");
  } catch (const pdinstall::Win32Error& e) {
    pdinstall::print_error(L"pdinstall: " + e.message() + L"\n");
    return pdinstall::exit_status::failed;
  } catch (const std::exception& e) {
    pdinstall::print_error(L"pdinstall: " + pdinstall::widen(e.what()) + L"\n");
    return pdinstall::exit_status::failed;
  }
}
