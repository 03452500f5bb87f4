// The counting allocator: the program's malloc, calloc and realloc count
// the call and hand it to the C library's own allocator. Defined in the
// executable, they take the place of the C library's for every module of
// the process (ntsim, the driver modules, libstdc++).
#include "alloc_counter.h"

#include <atomic>
#include <cstddef>

namespace pdbench {
namespace {
std::atomic<uint64_t> g_allocations{0};
}

#if defined(PDBENCH_COUNT_ALLOCATIONS)
uint64_t allocationCount() { return g_allocations.load(std::memory_order_relaxed); }
bool countingAllocations() { return true; }
#else
uint64_t allocationCount() { return 0; }
bool countingAllocations() { return false; }
#endif

}  // namespace pdbench

#if defined(PDBENCH_COUNT_ALLOCATIONS)
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* block, size_t size);
void __libc_free(void* block);

void* malloc(size_t size) {
  pdbench::g_allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(size);
}

void* calloc(size_t count, size_t size) {
  pdbench::g_allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_calloc(count, size);
}

void* realloc(void* block, size_t size) {
  pdbench::g_allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_realloc(block, size);
}

void free(void* block) { __libc_free(block); }
}
#endif
