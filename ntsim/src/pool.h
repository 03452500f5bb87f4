// Nonpaged pool as the machine tracks it: each block's size, tag, type and
// owning driver, and the allocation the kernel routines share.
#pragma once

#include <ntsim/ntsim.h>

namespace ntsim {

struct PoolBlock {
  size_t size;
  ULONG tag;
  const Driver* owner;
  POOL_TYPE type;
};

// Pool charged to the driver whose code is at `caller` (its leaks are reported at its unload).
PVOID allocatePoolFor(POOL_TYPE type, SIZE_T bytes, ULONG tag, const void* caller);

}  // namespace ntsim
