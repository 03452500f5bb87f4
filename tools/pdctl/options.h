// pdctl's command line:
//   pdctl [--driver tavrin|kelvane|ostrel|PATH] [--device NAME] [--bare] [--json] [--quiet-kd]
//         [-f SCRIPT | COMMAND...]
//   pdctl [--driver ...] demo
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace pdctl {

struct Options {
  std::string driver = "tavrin";      // as given
  bool driverGiven = false;           // --driver was on the command line
  std::optional<std::string> device;  // --device NAME
  bool bare = false;
  bool json = false;
  bool quietKd = false;
  std::optional<std::string> script;  // -f SCRIPT ("-" for standard input)
  std::vector<std::string> commands;  // the arguments after the options
  bool usage = false;                 // --help
};

// Throws CommandError for a bad command line.
Options parseOptions(const std::vector<std::string>& arguments);
std::string usageText();

// The driver to boot (ntsim) or the device to open (Windows).
struct DriverChoice {
  std::string name;          // tavrin, kelvane, ostrel, or the module's file name without extension
  bool ours = false;         // one of the three drivers of this project
  std::string modulePath;    // ntsim: the module file to load
  std::string deviceName;    // the name after \\.\; empty when not known (a user's module without --device)
  std::string driverDevice;  // the driver's own device name (ours), whatever --device says
};

// `programDir` is the directory pdctl runs from: named drivers are taken from
// <programDir>/../drivers/<name>.so. Throws CommandError for an unknown name.
DriverChoice resolveDriver(const Options& options, const std::string& programDir);

}  // namespace pdctl
