// PoStartNextPowerIrp accounting and the rules checked on power IRPs
// themselves: every driver a query or set power IRP reaches starts the next
// one with PoStartNextPowerIrp, once (PO_START_NEXT_MISSING,
// PO_START_NEXT_TWICE), and no driver fails a set (SET_POWER_FAILED).
// IofCallDriver records each (level, device) such an IRP was dispatched to,
// PoStartNextPowerIrp records each call, and IofCompleteRequest checks them
// when the IRP is finished.
#include "irp.h"
#include "power.h"
#include "state.h"

namespace ntsim {
namespace {

// Query and set power IRPs: the ones started one after another.
bool isStartedPowerIrp(PIO_STACK_LOCATION location) {
  return location->MajorFunction == IRP_MJ_POWER &&
         (location->MinorFunction == IRP_MN_SET_POWER || location->MinorFunction == IRP_MN_QUERY_POWER);
}

// Every driver that saw a query or set power IRP must have started the next one.
void checkStartNext(MachineState& s, PIRP irp, IrpHeader* h) {
  std::vector<std::pair<int, PDEVICE_OBJECT>> missing;
  {
    std::lock_guard lock(h->powerMutex);
    for (const auto& visit : h->visited) {
      bool started = false;
      for (const auto& call : h->startedNext) started = started || call == visit;
      if (!started) missing.push_back(visit);
    }
  }
  for (const auto& [level, device] : missing) {
    s.report("PO_START_NEXT_MISSING", "power IRP " + describeIrp(irp) +
                                          " completed without PoStartNextPowerIrp by "
                                          "device " +
                                          hex(reinterpret_cast<uintptr_t>(device)) + " at stack level " +
                                          std::to_string(level) + " (bug check 0x9F/0x500)");
  }
}

}  // namespace

void recordPowerDispatch(IrpHeader* h, PIO_STACK_LOCATION location, int level) {
  if (!isStartedPowerIrp(location)) return;
  std::lock_guard lock(h->powerMutex);
  h->visited.emplace_back(level, location->DeviceObject);
}

void recordStartNext(PIRP irp) {
  auto& s = M();
  IrpHeader* h = headerOf(irp);
  if (h == nullptr) {
    s.report("BAD_ARGUMENT", "PoStartNextPowerIrp with " + describeIrp(irp) + ", which is not an IRP");
    return;
  }
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  std::pair<int, PDEVICE_OBJECT> call{irp->CurrentLocation, location->DeviceObject};
  bool twice = false;
  {
    std::lock_guard lock(h->powerMutex);
    for (const auto& earlier : h->startedNext) twice = twice || earlier == call;
    if (!twice) h->startedNext.push_back(call);
  }
  if (twice) {
    s.report("PO_START_NEXT_TWICE", "PoStartNextPowerIrp called twice for power IRP " + describeIrp(irp) +
                                        " at stack level " + std::to_string(call.first));
  }
}

void checkPowerRules(MachineState& s, PIRP irp, IrpHeader* h, UCHAR minor) {
  if (minor != IRP_MN_SET_POWER && minor != IRP_MN_QUERY_POWER) return;
  checkStartNext(s, irp, h);
  if (minor == IRP_MN_SET_POWER && !NT_SUCCESS(irp->IoStatus.Status)) {
    s.report("SET_POWER_FAILED", "IRP_MN_SET_POWER " + describeIrp(irp) + " completed with " +
                                     statusName(irp->IoStatus.Status) + "; drivers must not fail it");
  }
}

}  // namespace ntsim
