// Lookaside lists: free lists of blocks of a few fixed sizes, as the kernel
// keeps them for IRPs, MDLs and small pool blocks. A request takes its IRP,
// its MDL and its system buffer from here and gives them back when it is
// done, so that a steady stream of requests allocates nothing however many
// it has served. A list keeps at most its depth of free blocks; beyond that,
// and for sizes above the largest class, blocks come from and go back to
// the heap. Each size's list has its own lock, held for a push or a pop.
// Builds with AddressSanitizer keep no free blocks, so that a use after free
// is still caught.
#pragma once

#include "spinlock.h"

#include <cstddef>
#include <initializer_list>
#include <vector>

namespace ntsim {

class Lookaside {
 public:
  // One list for each block size, smallest first.
  Lookaside(std::initializer_list<size_t> blockSizes, size_t depth);
  ~Lookaside();
  Lookaside(const Lookaside&) = delete;
  Lookaside& operator=(const Lookaside&) = delete;

  // A block of at least `bytes`, not initialised; nullptr when memory is out.
  void* allocate(size_t bytes);
  // The same, its first `bytes` zeroed. A block above the largest class comes
  // zeroed from the heap (calloc), so a large block's pages that nothing
  // touches are never faulted in.
  void* allocateZeroed(size_t bytes);
  // Gives back a block allocate(bytes) returned, with the same `bytes`.
  void release(void* block, size_t bytes);

 private:
  struct alignas(64) SizeClass {
    size_t blockBytes = 0;
    SpinLock lock;            // guards free
    std::vector<void*> free;  // at most depth_ blocks
  };
  SizeClass* classFor(size_t bytes);
  void* take(SizeClass& sizeClass);  // a free block of the class, or a new one

  std::vector<SizeClass> classes_;
  size_t depth_;
};

}  // namespace ntsim
