// Remove locks (removelock.cpp): what the other kernel parts ask of them.
#pragma once

#include <ntsim/ntsim.h>

#include <string>

namespace ntsim {

struct MachineState;

// The memory [begin, begin + bytes) goes away (IoDeleteDevice of `owner`):
// the locks inside it are forgotten, and reported if still held or, when
// the device is being removed, never awaited.
void forgetRemoveLocksIn(MachineState& s, const void* begin, size_t bytes, const std::string& owner, bool removing);

}  // namespace ntsim
