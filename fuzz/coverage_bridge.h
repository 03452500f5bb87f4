// Coverage of the driver modules, carried over their resets and remappings.
//
// The fuzz target maps a driver module once, puts its writable bytes back
// before every load and now and then maps it afresh (driver_fuzzer.cpp), so
// the module cannot use libFuzzer's own counters: libFuzzer keeps the address
// of every module's counters for good and clears them before each input,
// long after the mapping that owned them was gone, and the reset would undo
// them. The drivers are therefore built with -fsanitize-coverage=inline-bool-flag:
// each mapping registers its flags here, and harvest() folds them into a
// counter array of the fuzz target itself (libFuzzer's extra counters) before
// a reset. The same edge of every mapping lands in the same counter, since
// every copy of one module has the same layout.
#pragma once

namespace pdkit::fuzz {

// Folds the flags of every mapped driver copy into the target's counters;
// called before a copy is reset, and at the end of every input.
void harvestDriverCoverage();

// Forgets the copies registered so far; called before they are unmapped.
void forgetDriverCoverage();

// Flag regions registered so far (0 means the drivers carry no coverage).
unsigned driverCoverageRegions();

}  // namespace pdkit::fuzz
