// The tour on Windows: refused. It boots each driver and plays the kernel's
// side (the PnP and power managers, the bus), which only ntsim can do; the
// installed driver is reached with the commands instead.
#include "demo.h"

#include "errors.h"

namespace pdctl {

int runDemo(const Options&, const std::string&) {
  throw CommandError(
      "demo: the tour boots each driver on ntsim and plays the kernel's side, which only ntsim can do; on Windows "
      "send the installed driver commands instead, e.g. pdctl --driver tavrin \"open; write hi; read 2; close\"");
}

}  // namespace pdctl
