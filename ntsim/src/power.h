// PoStartNextPowerIrp accounting and the rules checked on power IRPs
// themselves (power_rules.cpp), for the I/O manager's dispatch and
// completion and for PoStartNextPowerIrp.
#pragma once

#include "irp.h"

namespace ntsim {

struct MachineState;

// IofCallDriver dispatched a power IRP at stack level `level` (its location
// names the device): a query or set must be started next by that driver.
void recordPowerDispatch(IrpHeader* h, PIO_STACK_LOCATION location, int level);
// PoStartNextPowerIrp was called for the IRP at its current location (reports a second call).
void recordStartNext(PIRP irp);
// A power IRP was finished: every driver it reached started the next one, and a set did not fail.
void checkPowerRules(MachineState& s, PIRP irp, IrpHeader* h, UCHAR minor);

}  // namespace ntsim
