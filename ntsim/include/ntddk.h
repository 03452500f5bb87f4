#ifndef NTSIM_NTDDK_H
#define NTSIM_NTDDK_H
/* ntddk.h - on ntsim the same interface as wdm.h. */
#include "wdm.h"
#endif
