// Nonpaged pool with tags, per-driver tracking and fault injection.
#include "pool.h"
#include "state.h"

#include <cstdlib>

namespace ntsim {

size_t Machine::poolOutstanding(const Driver* owner) const {
  std::lock_guard lock(state_->poolMutex);
  if (owner == nullptr) return state_->pool.size();
  size_t count = 0;
  for (const auto& [block, info] : state_->pool) count += info.owner == owner ? 1 : 0;
  return count;
}

size_t Machine::poolAllocations() const {
  std::lock_guard lock(state_->poolMutex);
  return state_->poolAllocationCount;
}

ULONG Machine::poolTagOf(PVOID block) const {
  std::lock_guard lock(state_->poolMutex);
  auto it = state_->pool.find(block);
  return it == state_->pool.end() ? 0 : it->second.tag;
}

POOL_TYPE Machine::poolTypeOf(PVOID block) const {
  std::lock_guard lock(state_->poolMutex);
  auto it = state_->pool.find(block);
  return it == state_->pool.end() ? NonPagedPool : it->second.type;
}

PVOID allocatePoolFor(POOL_TYPE type, SIZE_T bytes, ULONG tag, const void* caller) {
  auto& s = M();
  if (type != NonPagedPool && type != PagedPool && type != NonPagedPoolNx) {
    s.report("POOL_BAD_TYPE", "ExAllocatePoolWithTag with pool type " + std::to_string(type));
    return nullptr;
  }
  if (type == NonPagedPoolNx && !s.windows.hasNoExecuteMemory()) {
    s.report("POOL_BAD_TYPE",
             "ExAllocatePoolWithTag with NonPagedPoolNx, which Windows before 8 does not know "
             "(choose the pool type at run time)");
    return nullptr;
  }
  if (KeGetCurrentIrql() > DISPATCH_LEVEL || (type == PagedPool && KeGetCurrentIrql() > APC_LEVEL)) {
    s.report("POOL_ALLOCATION_AT_BAD_IRQL", "ExAllocatePoolWithTag at IRQL " + std::to_string(KeGetCurrentIrql()));
  }
  {
    std::lock_guard lock(s.faultMutex);
    if (s.faults.pool > 0) {
      if (s.faults.poolSkip > 0) {
        --s.faults.poolSkip;
      } else {
        --s.faults.pool;
        return nullptr;
      }
    }
  }
  void* block = std::malloc(bytes == 0 ? 1 : bytes);
  if (block == nullptr) return nullptr;
  if (type == NonPagedPool) {
    if (const Driver* driver = s.codeIntegrityChecked(caller)) {
      s.report("EXECUTABLE_POOL",
               "driver " + driver->name() + " allocated block " + hex(reinterpret_cast<uintptr_t>(block)) +
                   " from executable NonPagedPool; from Windows 8 on, use NonPagedPoolNx (0xC4/0x2000)");
    }
  }
  std::lock_guard lock(s.poolMutex);
  s.pool[block] = PoolBlock{bytes, tag, s.ownerOf(caller), type};
  s.recentlyFreed.erase(block);
  ++s.poolAllocationCount;
  return block;
}

namespace {

void release(PVOID block) {
  auto& s = M();
  if (block == nullptr) {
    s.report("POOL_FREE_NULL", "ExFreePool(NULL)");
    return;
  }
  enum { Freed, Twice, Unknown } outcome = Freed;
  size_t bytes = 0;
  {
    std::lock_guard lock(s.poolMutex);
    auto it = s.pool.find(block);
    if (it == s.pool.end()) {
      outcome = s.recentlyFreed.count(block) != 0 ? Twice : Unknown;
    } else {
      bytes = it->second.size;
      s.pool.erase(it);
      if (s.recentlyFreed.size() > 4096) s.recentlyFreed.clear();
      s.recentlyFreed.insert(block);
    }
  }
  if (outcome == Twice) {
    s.report("POOL_DOUBLE_FREE",
             "ExFreePool of block " + hex(reinterpret_cast<uintptr_t>(block)) + " that was freed already (0xC4/0x14)");
    return;
  }
  if (outcome == Unknown) {
    s.report("POOL_FREE_UNKNOWN",
             "ExFreePool of " + hex(reinterpret_cast<uintptr_t>(block)) + ", which is not a pool block (0xC4/0x13)");
    return;
  }
  checkFreedMemory(s, block, bytes);
  std::free(block);
}

}  // namespace
}  // namespace ntsim

extern "C" {

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  return ntsim::allocatePoolFor(PoolType, NumberOfBytes, Tag, __builtin_return_address(0));
}

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
  return ntsim::allocatePoolFor(PoolType, NumberOfBytes, 0x656e6f4e /* "None" */, __builtin_return_address(0));
}

void ExFreePool(PVOID P) { ntsim::release(P); }

PVOID ExAllocatePool2(POOL_FLAGS Flags, SIZE_T NumberOfBytes, ULONG Tag) {
  auto& s = ntsim::M();
  const POOL_FLAGS kinds = POOL_FLAG_NON_PAGED | POOL_FLAG_NON_PAGED_EXECUTE | POOL_FLAG_PAGED;
  POOL_FLAGS kind = Flags & kinds;
  if (Tag == 0 || (kind != POOL_FLAG_NON_PAGED && kind != POOL_FLAG_NON_PAGED_EXECUTE && kind != POOL_FLAG_PAGED)) {
    s.report("BAD_ARGUMENT", "ExAllocatePool2 with tag " + ntsim::hex(Tag) + " and flags " + ntsim::hex(Flags) +
                                 ": it needs a nonzero tag and exactly one of POOL_FLAG_NON_PAGED, "
                                 "POOL_FLAG_NON_PAGED_EXECUTE, POOL_FLAG_PAGED");
    return nullptr;
  }
  POOL_TYPE type = kind == POOL_FLAG_PAGED ? PagedPool : kind == POOL_FLAG_NON_PAGED ? NonPagedPoolNx : NonPagedPool;
  PVOID block = ntsim::allocatePoolFor(type, NumberOfBytes, Tag, __builtin_return_address(0));
  if (block != nullptr && !(Flags & POOL_FLAG_UNINITIALIZED)) std::memset(block, 0, NumberOfBytes);
  if (block == nullptr && (Flags & POOL_FLAG_RAISE_ON_FAILURE)) {
    s.report("POOL_RAISE_ON_FAILURE",
             "ExAllocatePool2 failed with POOL_FLAG_RAISE_ON_FAILURE: Windows raises "
             "STATUS_INSUFFICIENT_RESOURCES, which ntsim cannot; NULL returned");
  }
  return block;
}

void ExFreePoolWithTag(PVOID P, ULONG Tag) {
  auto& s = ntsim::M();
  ULONG actual = s.machine->poolTagOf(P);
  if (P != nullptr && actual != 0 && actual != Tag) {
    s.report("POOL_TAG_MISMATCH",
             "ExFreePoolWithTag with tag " + ntsim::hex(Tag) + " for a block tagged " + ntsim::hex(actual));
  }
  ntsim::release(P);
}

}  // extern "C"
