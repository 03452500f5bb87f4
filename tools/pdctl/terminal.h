// What pdctl needs to know of its terminal, on Linux and Windows alike.
#pragma once

#include <string>

namespace pdctl {

bool stdoutIsTerminal();
bool stdinIsTerminal();
// Colour on a terminal, unless NO_COLOR is set or TERM is dumb.
bool colourWanted();
void pauseMilliseconds(unsigned milliseconds);
// The directory of the running program (for finding the driver modules next to it).
std::string programDirectory(const char* argv0);
// An environment variable, or "" when unset.
std::string environment(const char* name);

// ANSI colours; empty strings when colour is off.
struct Palette {
  const char* reset = "";
  const char* dim = "";
  const char* bold = "";
  const char* red = "";
  const char* green = "";
  const char* yellow = "";
  const char* cyan = "";
  const char* magenta = "";
  static Palette make(bool colour);
};

}  // namespace pdctl
