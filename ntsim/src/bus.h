// The root bus (bus.cpp): the bus driver below every root-enumerated device,
// made and destroyed with the machine, and a physical device object for each
// device the loader adds.
#pragma once

#include <ntsim/ntsim.h>

namespace ntsim {

struct MachineState;

void createRootBus(MachineState& s);
void destroyRootBus(MachineState& s);
// A new physical device object on the root bus; nullptr when IoCreateDevice fails.
PDEVICE_OBJECT createPhysicalDevice(MachineState& s);

}  // namespace ntsim
