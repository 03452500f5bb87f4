// The guided tour: for each driver, what it demonstrates, the boot, a write
// and a read back, the two control codes with the table decoded, a sleep to
// S3 and a wake with the power states before and after, and the unload,
// with the kernel debugger's output alongside and a note before each step.
#pragma once

#include "options.h"

#include <string>

namespace pdctl {

// Paced on a terminal (PDCTL_DEMO_PACE_MS milliseconds after each step,
// default 1200; 0 turns pacing off), at full speed when piped. Returns the
// exit status.
int runDemo(const Options& options, const std::string& programDir);

}  // namespace pdctl
