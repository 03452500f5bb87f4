// Runs the built pdctl as a program: arguments, standard input, and what
// comes back (standard output, standard error, exit status).
#pragma once

#include <string>
#include <vector>

namespace pdkit::test {

struct PdctlRun {
  std::string out;
  std::string err;
  int exit = -1;
  std::string unavailable;  // why the run could not happen here (no pseudo terminal): the test skips
};

// Runs build/<preset>/bin/pdctl with the arguments, feeding `input` to its standard input (a pipe, not a terminal);
// `environment` adds NAME=VALUE settings to pdctl's environment.
PdctlRun runPdctl(const std::vector<std::string>& arguments, const std::string& input = "",
                  const std::vector<std::string>& environment = {});

// Runs pdctl on a terminal of its own (a pseudo terminal), typing `input`;
// `out` holds everything the terminal showed. Where the system has no
// pseudo terminals, `unavailable` says so and nothing runs.
PdctlRun runPdctlOnTerminal(const std::vector<std::string>& arguments, const std::string& input);

// A driver module's path in the build tree (build/<preset>/drivers/<name>.so).
std::string modulePath(const std::string& name);

// The status fields of a successful result in pdctl's JSON Lines.
inline const std::string kOk = R"("status":"0x00000000","status_name":"STATUS_SUCCESS","win32":0,)";

// The lines of `text`, without their line ends.
std::vector<std::string> linesOf(const std::string& text);

}  // namespace pdkit::test
