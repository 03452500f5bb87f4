// Executive lookaside lists: blocks of one size and tag from pool, kept on
// the list up to its depth for reuse. Blocks are charged to the driver that
// initialised the list, so that a list never deleted shows at its unload as
// pool still allocated.
#include "pool.h"
#include "state.h"

#include "spinlock.h"

namespace ntsim {
namespace {

SpinLock g_lookasideLock;  // guards every list's free entries; held for a few instructions

void initialise(GENERAL_LOOKASIDE* list, PALLOCATE_FUNCTION allocate, PFREE_FUNCTION free, SIZE_T size, ULONG tag,
                POOL_TYPE type, const void* owner) {
  std::memset(list, 0, sizeof *list);
  list->Type = type;
  list->Tag = tag;
  list->Size = static_cast<ULONG>(size < sizeof(SLIST_ENTRY) ? sizeof(SLIST_ENTRY) : size);
  list->Allocate = allocate;
  list->Free = free;
  list->Depth = list->MaximumDepth = 256;
  list->Owner = const_cast<void*>(owner);
}

PVOID take(GENERAL_LOOKASIDE* list) {
  ++list->TotalAllocates;
  {
    std::lock_guard lock(g_lookasideLock);
    if (PSLIST_ENTRY entry = list->ListHead.s.Next) {
      list->ListHead.s.Next = entry->Next;
      --list->ListHead.s.Depth;
      return entry;
    }
  }
  ++list->AllocateMisses;
  if (list->Allocate != nullptr) return list->Allocate(list->Type, list->Size, list->Tag);
  return allocatePoolFor(list->Type, list->Size, list->Tag, list->Owner);
}

void give(GENERAL_LOOKASIDE* list, PVOID entry) {
  ++list->TotalFrees;
  {
    std::lock_guard lock(g_lookasideLock);
    if (list->ListHead.s.Depth < list->Depth) {
      auto* link = static_cast<PSLIST_ENTRY>(entry);
      link->Next = list->ListHead.s.Next;
      list->ListHead.s.Next = link;
      ++list->ListHead.s.Depth;
      return;
    }
  }
  ++list->FreeMisses;
  if (list->Free != nullptr)
    list->Free(entry);
  else
    ExFreePool(entry);
}

void drain(GENERAL_LOOKASIDE* list) {
  while (true) {
    PSLIST_ENTRY entry;
    {
      std::lock_guard lock(g_lookasideLock);
      entry = list->ListHead.s.Next;
      if (entry == nullptr) return;
      list->ListHead.s.Next = entry->Next;
      --list->ListHead.s.Depth;
    }
    if (list->Free != nullptr)
      list->Free(entry);
    else
      ExFreePool(entry);
  }
}

void requireIrql(KIRQL most, const char* routine) {
  if (KeGetCurrentIrql() > most) {
    M().report("IRQL_NOT_LESS_OR_EQUAL",
               std::string(routine) + " at IRQL " + std::to_string(KeGetCurrentIrql()) + " (bug check 0xA)");
  }
}

}  // namespace
}  // namespace ntsim

using namespace ntsim;

extern "C" {

void ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate, PFREE_FUNCTION Free,
                                     ULONG Flags, SIZE_T Size, ULONG Tag, USHORT Depth) {
  (void)Flags, (void)Depth;  // the depth is the system's to tune, as on Windows
  // No-execute pool where the machine's Windows has it (from Windows 8 on), plain nonpaged pool before.
  POOL_TYPE type = ntsim::M().windows.hasNoExecuteMemory() ? NonPagedPoolNx : NonPagedPool;
  initialise(Lookaside, Allocate, Free, Size, Tag, type, __builtin_return_address(0));
}

void ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside) { drain(Lookaside); }

PVOID ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside) {
  requireIrql(DISPATCH_LEVEL, "ExAllocateFromNPagedLookasideList");
  return take(Lookaside);
}

void ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry) {
  requireIrql(DISPATCH_LEVEL, "ExFreeToNPagedLookasideList");
  give(Lookaside, Entry);
}

void ExInitializePagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate, PFREE_FUNCTION Free,
                                    ULONG Flags, SIZE_T Size, ULONG Tag, USHORT Depth) {
  (void)Flags, (void)Depth;
  initialise(Lookaside, Allocate, Free, Size, Tag, PagedPool, __builtin_return_address(0));
}

void ExDeletePagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside) { drain(Lookaside); }

PVOID ExAllocateFromPagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside) {
  requireIrql(APC_LEVEL, "ExAllocateFromPagedLookasideList");
  return take(Lookaside);
}

void ExFreeToPagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry) {
  requireIrql(APC_LEVEL, "ExFreeToPagedLookasideList");
  give(Lookaside, Entry);
}

}  // extern "C"
