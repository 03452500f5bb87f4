// Memory descriptor lists and the mapping of locked pages into system space.
//
// A caller's buffer is already addressable in this process, so "mapping" an
// MDL hands back the buffer's own address; what matters is the bookkeeping
// (MDL_MAPPED_TO_SYSTEM_VA, MappedSystemVa) and that a mapping may fail.
#include "state.h"

#include <cstdlib>

using namespace ntsim;

extern "C" {

PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota, PIRP Irp) {
  (void)ChargeQuota;
  auto* mdl = static_cast<PMDL>(M().mdlLookaside.allocate(sizeof(MDL)));
  if (mdl == nullptr) return nullptr;
  std::memset(mdl, 0, sizeof(MDL));
  auto address = reinterpret_cast<uintptr_t>(VirtualAddress);
  mdl->Size = sizeof(MDL);
  mdl->MdlFlags = MDL_ALLOCATED_FIXED_SIZE;
  mdl->StartVa = reinterpret_cast<PVOID>(address & ~uintptr_t{PAGE_SIZE - 1});
  mdl->ByteOffset = static_cast<ULONG>(address & (PAGE_SIZE - 1));
  mdl->ByteCount = Length;
  if (Irp != nullptr) {
    if (SecondaryBuffer && Irp->MdlAddress != nullptr) {
      PMDL last = Irp->MdlAddress;
      while (last->Next != nullptr) last = last->Next;
      last->Next = mdl;
    } else {
      Irp->MdlAddress = mdl;
    }
  }
  return mdl;
}

void IoFreeMdl(PMDL Mdl) { M().mdlLookaside.release(Mdl, sizeof(MDL)); }

PVOID MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, MEMORY_CACHING_TYPE CacheType,
                                   PVOID RequestedAddress, ULONG BugCheckOnFailure, ULONG Priority) {
  auto& s = M();
  (void)CacheType;
  PMDL mdl = MemoryDescriptorList;
  if (mdl == nullptr) {
    s.report("BAD_ARGUMENT", "MmMapLockedPagesSpecifyCache with a NULL MDL");
    return nullptr;
  }
  if (AccessMode != KernelMode || RequestedAddress != nullptr) {
    s.report("BAD_ARGUMENT", "MmMapLockedPagesSpecifyCache into user space is not supported by ntsim");
    return nullptr;
  }
  if (!(mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL))) {
    s.report("MDL_NOT_LOCKED", "MmMapLockedPagesSpecifyCache with an MDL whose pages are not locked");
  }
  constexpr ULONG kMappingFlags = MdlMappingNoWrite | MdlMappingNoExecute;
  if ((Priority & kMappingFlags) != 0 && !s.windows.hasNoExecuteMemory()) {
    s.report("BAD_ARGUMENT", "MmMapLockedPagesSpecifyCache with priority " + hex(Priority) +
                                 ": Windows before 8 knows no mapping flags (choose them at run time)");
    return nullptr;
  }
  if ((Priority & MdlMappingNoExecute) == 0) {
    if (const Driver* driver = s.codeIntegrityChecked(__builtin_return_address(0))) {
      s.report("EXECUTABLE_MAPPING", "driver " + driver->name() + " mapped MDL " +
                                         hex(reinterpret_cast<uintptr_t>(mdl)) +
                                         " executable; from Windows 8 on, OR MdlMappingNoExecute into the priority "
                                         "(0xC4/0x2002)");
    }
  }
  if (mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) return mdl->MappedSystemVa;
  if (s.takeFault(s.faults.mapping)) {
    if (BugCheckOnFailure) KeBugCheckEx(0x1A, 0, 0, 0, 0);  // never asked for by sound drivers
    return nullptr;
  }
  mdl->MappedSystemVa = static_cast<char*>(mdl->StartVa) + mdl->ByteOffset;
  mdl->MdlFlags = static_cast<CSHORT>(mdl->MdlFlags | MDL_MAPPED_TO_SYSTEM_VA);
  return mdl->MappedSystemVa;
}

void MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList) {
  (void)BaseAddress;
  if (MemoryDescriptorList == nullptr) {
    M().report("BAD_ARGUMENT", "MmUnmapLockedPages with a NULL MDL");
    return;
  }
  MemoryDescriptorList->MdlFlags = static_cast<CSHORT>(MemoryDescriptorList->MdlFlags & ~MDL_MAPPED_TO_SYSTEM_VA);
  MemoryDescriptorList->MappedSystemVa = nullptr;
}

void MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
  PMDL mdl = MemoryDescriptorList;
  if (mdl == nullptr) {
    M().report("BAD_ARGUMENT", "MmBuildMdlForNonPagedPool with a NULL MDL");
    return;
  }
  mdl->MappedSystemVa = static_cast<char*>(mdl->StartVa) + mdl->ByteOffset;
  mdl->MdlFlags = static_cast<CSHORT>(mdl->MdlFlags | MDL_SOURCE_IS_NONPAGED_POOL);
}

}  // extern "C"
