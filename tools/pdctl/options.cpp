#include "options.h"

#include "errors.h"
#include "numbers.h"

#include <array>
#include <filesystem>

namespace pdctl {
namespace {

struct OurDriver {
  const char* name;
  const char* device;
};

constexpr std::array<OurDriver, 3> kOurDrivers{{
    {"tavrin", "TAVRINDEV"},
    {"kelvane", "KELVANEDEV"},
    {"ostrel", "OSTRELDEV"},
}};

bool isPath(const std::string& value) {
  return value.find('/') != std::string::npos || value.find('\\') != std::string::npos ||
         (value.size() > 3 && value.ends_with(".so"));
}

}  // namespace

#ifndef _WIN32  // Windows has its own: usage_windows.cpp
std::string usageText() {
  return "usage: pdctl [--driver tavrin|kelvane|ostrel|PATH] [--device NAME] [--bare] [--json] [--quiet-kd]\n"
         "             [-f SCRIPT | COMMAND...]\n"
         "       pdctl [--driver NAME] demo\n"
         "\n"
         "  --driver D   the driver to boot on ntsim: one of ours by name, or any driver module built\n"
         "               against ntsim's headers by path (default: tavrin); on Windows, whose device to open\n"
         "  --device N   the device to open, \\\\.\\N (default: the named driver's own device)\n"
         "  --bare       boot only as far as AddDevice; the commands send the PnP requests\n"
         "  --json       JSON Lines instead of the transcript\n"
         "  --quiet-kd   leave out the kernel debugger's output\n"
         "  -f SCRIPT    run the commands of SCRIPT (- for standard input), one per line\n"
         "  COMMAND...   run these commands; separate them with ; (\"open; write hi; read 2\")\n"
         "  demo         a guided tour of the three drivers\n"
         "\n"
         "With no command on a terminal, pdctl prompts for commands; type help there. With no command\n"
         "and no terminal, it reads a script from standard input.\n"
         "\n"
         "Exit status: 0 every command ran and the verifier saw nothing wrong; 1 a command could not run\n"
         "(a script or command line stops there; at the prompt a mistake is only reported); 2 a verifier\n"
         "violation (2 wins over 1). The demo is paced on a terminal: PDCTL_DEMO_PACE_MS sets the pause\n"
         "after each step in milliseconds (default 1200, 0 for none, at most 10000).\n";
}
#endif

Options parseOptions(const std::vector<std::string>& arguments) {
  Options options;
  size_t i = 0;
  auto value = [&](const std::string& option, const std::string& arg, std::string_view expected) -> std::string {
    auto eq = arg.find('=');
    if (eq != std::string::npos) return arg.substr(eq + 1);
    if (i + 1 >= arguments.size()) {
      throw CommandError("option " + option + " needs a value: expected " + std::string(expected));
    }
    return arguments[++i];
  };
  for (; i < arguments.size(); ++i) {
    const std::string& arg = arguments[i];
    std::string name = arg.substr(0, arg.find('='));
    if (arg == "--") {
      ++i;
      break;
    }
    if (name == "--driver") {
      options.driver = value(name, arg, "tavrin, kelvane, ostrel or the path of a driver module");
      options.driverGiven = true;
    } else if (name == "--device") {
      options.device = value(name, arg, "a device name such as TAVRINDEV");
    } else if (arg == "--bare") {
      options.bare = true;
    } else if (arg == "--json") {
      options.json = true;
    } else if (arg == "--quiet-kd") {
      options.quietKd = true;
    } else if (arg == "-f" || name == "--file") {
      options.script = value(arg == "-f" ? "-f" : "--file", arg, "a script file, or - for standard input");
    } else if (arg == "-h" || arg == "--help") {
      options.usage = true;
    } else if (arg.size() > 1 && arg[0] == '-' && !(arg.size() > 1 && (arg[1] >= '0' && arg[1] <= '9'))) {
      throw CommandError("unknown option " + arg +
                         ": expected --driver, --device, --bare, --json, --quiet-kd, -f or --help");
    } else {
      break;
    }
  }
  for (; i < arguments.size(); ++i) options.commands.push_back(arguments[i]);
  if (options.script && !options.commands.empty()) {
    throw CommandError("both -f " + *options.script + " and commands were given: expected one or the other");
  }
  // --device takes the name after \\.\; the whole path is taken as well.
  if (options.device && (options.device->starts_with("\\\\.\\") || options.device->starts_with("\\\\?\\"))) {
    options.device->erase(0, 4);
  }
  if (options.device && options.device->empty()) {
    throw CommandError("--device needs a name: expected the name after \\\\.\\, such as TAVRINDEV");
  }
  return options;
}

DriverChoice resolveDriver(const Options& options, const std::string& programDir) {
  DriverChoice choice;
  const std::string& driver = options.driver;
  for (const auto& ours : kOurDrivers) {
    if (lower(driver) == ours.name) {
      choice.name = ours.name;
      choice.ours = true;
      choice.deviceName = ours.device;
      choice.modulePath = (std::filesystem::path(programDir) / ".." / "drivers" / (std::string(ours.name) + ".so"))
                              .lexically_normal()
                              .string();
    }
  }
  if (!choice.ours) {
    if (!isPath(driver)) {
      throw CommandError("unknown driver " + inQuotes(driver) +
                         ": expected tavrin, kelvane, ostrel or the path of a driver module (.so)");
    }
    choice.modulePath = driver;
    choice.name = std::filesystem::path(driver).stem().string();
    // A module of ours loaded by path (another build's, say) keeps its device name.
    for (const auto& ours : kOurDrivers) {
      if (choice.name == ours.name) {
        choice.ours = true;
        choice.deviceName = ours.device;
      }
    }
  }
  choice.driverDevice = choice.deviceName;
  if (options.device) choice.deviceName = *options.device;
  return choice;
}

}  // namespace pdctl
