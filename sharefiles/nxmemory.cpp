/*
 * nxmemory.cpp - the memory types the drivers ask for. Windows 8 and later
 * have nonpaged pool that is not executable and mappings that are not
 * executable, and memory integrity (and Driver Verifier's code-integrity
 * check) demands them; Windows XP knows neither, so the choice is made once
 * at run time from the version the kernel reports. RtlGetVersion is exported
 * by every kernel from Windows 2000 on, so the image still loads on XP.
 */
#include <ntddk.h>

#include "sharefiles/common.h"

POOL_TYPE NonPagedPoolType = NonPagedPool;
ULONG MappingPriorityFlags = 0;

VOID ChooseMemoryTypes(VOID)
{
    RTL_OSVERSIONINFOW Version;

    RtlZeroMemory(&Version, sizeof(Version));
    Version.dwOSVersionInfoSize = sizeof(Version);
    if (!NT_SUCCESS(RtlGetVersion(&Version)))
        return;
    if (Version.dwMajorVersion < 6 || (Version.dwMajorVersion == 6 && Version.dwMinorVersion < 2))
        return;
    NonPagedPoolType = NonPagedPoolNx;
    MappingPriorityFlags = MdlMappingNoExecute;
}
