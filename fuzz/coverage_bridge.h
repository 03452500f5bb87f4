// Coverage of the driver modules, carried over their unloads.
//
// ntsim loads a fresh copy of a driver module for every load and unmaps it
// at unload, so the module cannot use libFuzzer's own counters: libFuzzer
// keeps the address of every module's counters for good and clears them
// before each input, long after the copy that owned them was unmapped. The
// drivers are therefore built with -fsanitize-coverage=inline-bool-flag: each
// copy registers its flags here when it is loaded, and harvest() folds them
// into a counter array of the fuzz target itself (libFuzzer's extra counters)
// before the copy is unloaded. The same edge of every copy lands in the same
// counter, since every copy of one module has the same layout.
#pragma once

namespace pdkit::fuzz {

// Folds the flags of every loaded driver copy into the target's counters and
// forgets those copies; called just before a driver is unloaded.
void harvestDriverCoverage();

// Flag regions registered so far (0 means the drivers carry no coverage).
unsigned driverCoverageRegions();

}  // namespace pdkit::fuzz
