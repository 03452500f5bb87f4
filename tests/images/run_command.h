// Runs a program for a test and captures what it printed.
#pragma once

#include <string>
#include <vector>

namespace pdkit::images {

struct CommandResult {
  int exit_status = -1;  // -1 when the program could not be run or was killed
  std::string output;    // stdout and stderr together
};

// Runs `argv[0]` with the remaining arguments (no shell involved).
CommandResult run_command(const std::vector<std::string>& argv);

}  // namespace pdkit::images
