// The IRQL the calling thread runs at (sync.cpp), for the kernel's own
// threads that run driver routines at a set IRQL and check it afterwards.
#pragma once

#include <ntsim/ntsim.h>

namespace ntsim {

KIRQL currentIrql();
void setIrql(KIRQL irql);

}  // namespace ntsim
