// Counts the heap allocations the process makes (malloc, calloc, realloc and
// everything built on them, operator new included), so that a benchmark can
// report allocations per request.
#pragma once

#include <cstdint>

namespace pdbench {

// Allocations made so far by every thread. Zero when counting is not built
// in (sanitizer builds bring their own allocator).
uint64_t allocationCount();

// True when allocationCount() counts.
bool countingAllocations();

}  // namespace pdbench
