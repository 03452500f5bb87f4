// pdctl.exe's usage: what the options and the exit status mean on Windows,
// where pdctl is a program like any other and opens the installed device.
#include "options.h"

namespace pdctl {

std::string usageText() {
  return "usage: pdctl [--driver tavrin|kelvane|ostrel] [--device NAME] [--json] [-f SCRIPT | COMMAND...]\n"
         "\n"
         "  --driver D   whose device to open: tavrin opens \\\\.\\TAVRINDEV, kelvane \\\\.\\KELVANEDEV, ostrel\n"
         "               \\\\.\\OSTRELDEV (default: tavrin). The driver must be installed first, from an\n"
         "               elevated prompt: pdinstall install tavrin.inf Root\\TAVRINDEV\n"
         "  --device N   open \\\\.\\N instead\n"
         "  --json       JSON Lines instead of the transcript\n"
         "  -f SCRIPT    run the commands of SCRIPT (- for standard input), one per line\n"
         "  COMMAND...   run these commands; separate them with ; (\"open; write hi; read 2; close\")\n"
         "\n"
         "On Windows pdctl sends what any program can: open, close, read, write, ioctl, describe and table\n"
         "(type help at the prompt). The device admits only SYSTEM and Administrators: run pdctl elevated.\n"
         "The commands that play the kernel's side (pnp, power, sleep, wake, bus, fault, state, unload) and\n"
         "the demo need ntsim: run them with the Linux build.\n"
         "\n"
         "Exit status: 0 every command ran (a request the driver or Windows failed is a result, shown with\n"
         "its status and Win32 error, not an error of pdctl); 1 a command could not run (a script or command\n"
         "line stops there).\n";
}

}  // namespace pdctl
