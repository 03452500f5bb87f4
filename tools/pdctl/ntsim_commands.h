// The commands that play the kernel's side, which only ntsim can do: PnP and
// power IRPs and sequences, the bus below the device, fault injection, the
// device's recorded state and unloading. On Windows the backend refuses them.
#pragma once

#include "command_args.h"

namespace pdctl {

void cmdPnp(Session& s, Args& a);
void cmdPower(Session& s, Args& a);
void cmdSleep(Session& s, Args& a);
void cmdWake(Session& s, Args& a);
void cmdBus(Session& s, Args& a);
void cmdFault(Session& s, Args& a);
void cmdState(Session& s, Args& a);
void cmdUnload(Session& s, Args& a);

}  // namespace pdctl
