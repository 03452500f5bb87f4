// The power manager: PoCallDriver and its per-device serialisation,
// PoStartNextPowerIrp (its accounting and checks are in power_rules.cpp),
// PoSetPowerState, PoRequestPowerIrp and system transitions.
#include "helper_threads.h"
#include "irp.h"
#include "pnp.h"
#include "power.h"
#include "state.h"

namespace ntsim {

namespace {

// Query and set power IRPs are serialised per device object and per kind.
bool isSerialised(PIO_STACK_LOCATION location) {
  return location->MinorFunction == IRP_MN_SET_POWER || location->MinorFunction == IRP_MN_QUERY_POWER;
}

int kindOf(PIO_STACK_LOCATION location) { return location->Parameters.Power.Type == SystemPowerState ? 0 : 1; }

// Sends a power IRP that was waiting for its device, from a thread of the power manager's.
void presentLater(MachineState& s, PDEVICE_OBJECT device, PIRP irp) {
  s.busCompletions.begin();
  runOnHelperThread([&s, device, irp] {
    setSendingPower(true);
    IofCallDriver(device, irp);
    s.busCompletions.end();
  });
}

PIRP buildPowerIrp(PDEVICE_OBJECT target, UCHAR minor, POWER_STATE_TYPE type, ULONG state, POWER_ACTION action) {
  PIRP irp = allocateIrp(target->StackSize);
  // Power IRPs start out as not supported, like PnP IRPs.
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp->RequestorMode = KernelMode;
  PIO_STACK_LOCATION location = IoGetNextIrpStackLocation(irp);
  location->MajorFunction = IRP_MJ_POWER;
  location->MinorFunction = minor;
  if (minor == IRP_MN_WAIT_WAKE) {
    location->Parameters.WaitWake.PowerState = static_cast<SYSTEM_POWER_STATE>(state);
  } else {
    location->Parameters.Power.Type = type;
    location->Parameters.Power.State.SystemState = static_cast<SYSTEM_POWER_STATE>(state);
    location->Parameters.Power.ShutdownType = action;
  }
  return irp;
}

}  // namespace

IoResult Machine::powerIrp(DeviceNode& node, UCHAR minor, POWER_STATE_TYPE type, ULONG state, POWER_ACTION action) {
  auto& s = *state_;
  PDEVICE_OBJECT target = IoGetAttachedDevice(node.pdo());
  if (type == SystemPowerState && minor == IRP_MN_SET_POWER) {
    std::lock_guard lock(s.powerMutex);
    s.systemAction = action;
  }
  PIRP irp = buildPowerIrp(target, minor, type, state, action);
  headerOf(irp)->onComplete = signalDone;
  headerOf(irp)->busPdo = node.pdo();
  return sendAndWait(target, irp, true);
}

IoResult Machine::systemPower(DeviceNode& node, SYSTEM_POWER_STATE state, POWER_ACTION action) {
  {
    std::lock_guard lock(state_->powerMutex);
    state_->systemAction = action;
  }
  // The way back to the working state is a set alone; going to sleep asks first.
  if (state == PowerSystemWorking) return powerIrp(node, IRP_MN_SET_POWER, SystemPowerState, state, action);
  IoResult query = powerIrp(node, IRP_MN_QUERY_POWER, SystemPowerState, state, action);
  if (query.failed()) return query;
  return powerIrp(node, IRP_MN_SET_POWER, SystemPowerState, state, action);
}

std::vector<PowerStateRecord> Machine::powerStateCalls(PDEVICE_OBJECT device) const {
  std::lock_guard lock(state_->powerMutex);
  auto it = state_->powerStates.find(device);
  return it == state_->powerStates.end() ? std::vector<PowerStateRecord>{} : it->second;
}

}  // namespace ntsim

using namespace ntsim;

extern "C" {

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  auto& s = M();
  IrpHeader* h = headerOf(Irp);
  if (h == nullptr || DeviceObject == nullptr) {
    s.report("BAD_ARGUMENT", "PoCallDriver with device " + hex(reinterpret_cast<uintptr_t>(DeviceObject)) +
                                 " and IRP " + describeIrp(Irp));
    return STATUS_INVALID_PARAMETER;
  }
  if (IoGetNextIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER) {
    s.report("PO_CALL_DRIVER_NOT_POWER", "PoCallDriver with IRP " + describeIrp(Irp) + ", which is not a power IRP");
  }
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
  if (isSerialised(next) && DeviceObject->DeviceObjectExtension != nullptr) {
    // A second IRP of the same kind waits until PoStartNextPowerIrp releases the active one.
    std::lock_guard lock(s.powerMutex);
    auto* ext = DeviceObject->DeviceObjectExtension;
    int kind = kindOf(next);
    if (ext->activePower[kind] != nullptr) {
      ext->queuedPower[kind].push_back(Irp);
      return STATUS_PENDING;
    }
    ext->activePower[kind] = Irp;
  }
  setSendingPower(true);
  return IofCallDriver(DeviceObject, Irp);
}

void PoStartNextPowerIrp(PIRP Irp) {
  auto& s = M();
  recordStartNext(Irp);
  if (headerOf(Irp) == nullptr) return;
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
  if (location->MajorFunction == IRP_MJ_POWER && location->MinorFunction == IRP_MN_WAIT_WAKE) {
    s.report("PO_START_NEXT_FOR_WAIT_WAKE", "PoStartNextPowerIrp called for IRP_MN_WAIT_WAKE " + describeIrp(Irp) +
                                                "; only query and set power IRPs are started one after another");
  }
  PDEVICE_OBJECT device = location->DeviceObject;
  if (!isSerialised(location) || device == nullptr || device->DeviceObjectExtension == nullptr) return;
  PIRP waiting = nullptr;
  {
    std::lock_guard lock(s.powerMutex);
    auto* ext = device->DeviceObjectExtension;
    int kind = kindOf(location);
    if (ext->activePower[kind] != Irp) return;
    ext->activePower[kind] = nullptr;
    if (!ext->queuedPower[kind].empty()) {
      waiting = ext->queuedPower[kind].front();
      ext->queuedPower[kind].pop_front();
      ext->activePower[kind] = waiting;
    }
  }
  if (waiting != nullptr) presentLater(s, device, waiting);
}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
  auto& s = M();
  std::lock_guard lock(s.powerMutex);
  auto& calls = s.powerStates[DeviceObject];
  POWER_STATE previous{};
  for (auto it = calls.rbegin(); it != calls.rend(); ++it) {
    if (it->type == Type) {
      previous.SystemState = static_cast<SYSTEM_POWER_STATE>(it->state);
      break;
    }
  }
  calls.push_back({Type, static_cast<ULONG>(State.SystemState)});
  return previous;
}

NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp) {
  auto& s = M();
  if (Irp != nullptr) *Irp = nullptr;
  if (DeviceObject == nullptr) {
    s.report("BAD_ARGUMENT", "PoRequestPowerIrp with a NULL device object");
    return STATUS_INVALID_PARAMETER_1;
  }
  // The power manager sends query, set and wait-wake IRPs; a power-sequence IRP is a driver's own.
  if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER && MinorFunction != IRP_MN_WAIT_WAKE) {
    return STATUS_INVALID_PARAMETER_2;
  }
  // A device query or set names a state from D0 to D3; there is no IRP for any other.
  if (MinorFunction != IRP_MN_WAIT_WAKE &&
      (PowerState.DeviceState < PowerDeviceD0 || PowerState.DeviceState > PowerDeviceD3)) {
    s.report("PO_REQUEST_INVALID_POWER_STATE",
             "PoRequestPowerIrp for device power state " + std::to_string(static_cast<int>(PowerState.DeviceState)) +
                 ", which is not D0 to D3; no IRP was sent (STATUS_INVALID_PARAMETER_3)");
    return STATUS_INVALID_PARAMETER_3;
  }
  {
    std::lock_guard lock(s.faultMutex);
    if (s.faults.powerRequest > 0) {
      --s.faults.powerRequest;
      return s.faults.powerRequestStatus;
    }
  }
  POWER_ACTION action;
  {
    std::lock_guard lock(s.powerMutex);
    action = s.systemAction;
  }
  PDEVICE_OBJECT target = IoGetAttachedDevice(DeviceObject);
  PIRP irp = ntsim::allocateIrp(target->StackSize);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION location = IoGetNextIrpStackLocation(irp);
  location->MajorFunction = IRP_MJ_POWER;
  location->MinorFunction = MinorFunction;
  if (MinorFunction == IRP_MN_WAIT_WAKE) {
    // Its parameter is the least-powered system state the device may wake the system from.
    location->Parameters.WaitWake.PowerState = PowerState.SystemState;
  } else {
    location->Parameters.Power.Type = DevicePowerState;
    location->Parameters.Power.State = PowerState;
    location->Parameters.Power.ShutdownType = action;
  }
  // The callback runs once, after every completion routine, with the final status; then the IRP is freed.
  headerOf(irp)->onComplete = [DeviceObject, MinorFunction, PowerState, CompletionFunction, Context](PIRP done) {
    // IoStatus is the IRP's own status block, as on Windows, not a copy of it.
    if (CompletionFunction != nullptr) {
      CompletionFunction(DeviceObject, MinorFunction, PowerState, Context, &done->IoStatus);
    }
    releaseIrp(done);
  };
  if (Irp != nullptr && MinorFunction == IRP_MN_WAIT_WAKE) *Irp = irp;
  headerOf(irp)->busPdo = busPdoBelow(DeviceObject);
  PoCallDriver(target, irp);
  return STATUS_PENDING;
}

}  // extern "C"
