// The benchmark groups of pdbench; main registers them all.
#pragma once

namespace pdbench {

void registerDriverPathBenchmarks();
void registerDebugOutputBenchmarks();
void registerWholePathBenchmarks();
void registerMemoryBenchmarks();

}  // namespace pdbench
