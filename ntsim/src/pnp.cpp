// The PnP manager: its requests to a device stack, built as Windows builds
// them (IoStatus.Status preset to STATUS_NOT_SUPPORTED, sent to the top of
// the stack at PASSIVE_LEVEL, waited for), and the sequences of them that
// make up a device's life: start, disable, enable, surprise removal,
// rebalance and uninstall (docs/PNP-SEQUENCES.md).
#include "irp.h"
#include "objects.h"
#include "pnp.h"
#include "state.h"

namespace ntsim {

namespace {

PIRP buildPnpIrp(DeviceNode& node, UCHAR minor, PDEVICE_OBJECT* target) {
  *target = IoGetAttachedDevice(node.pdo());
  PIRP irp = allocateIrp((*target)->StackSize);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp->RequestorMode = KernelMode;
  PIO_STACK_LOCATION location = IoGetNextIrpStackLocation(irp);
  location->MajorFunction = IRP_MJ_PNP;
  location->MinorFunction = minor;
  headerOf(irp)->onComplete = signalDone;
  headerOf(irp)->busPdo = node.pdo();
  return irp;
}

// A device object above the bus's, as it was before a removal.
struct StackMember {
  PDEVICE_OBJECT device;
  PDRIVER_OBJECT driver;
};

std::vector<StackMember> devicesAbove(MachineState& s, PDEVICE_OBJECT pdo) {
  std::lock_guard lock(s.objectMutex);
  std::vector<StackMember> members;
  for (PDEVICE_OBJECT at = attachedAbove(pdo); at != nullptr; at = attachedAbove(at)) {
    at->DeviceObjectExtension->removalSent = true;
    members.push_back({at, at->DriverObject});
  }
  return members;
}

bool stillExists(PDEVICE_OBJECT device, PDRIVER_OBJECT driver) {
  for (PDEVICE_OBJECT at = driver->DeviceObject; at != nullptr; at = at->NextDevice) {
    if (at == device) return true;
  }
  return false;
}

// After IRP_MN_REMOVE_DEVICE every driver above the bus has detached and deleted its device.
void checkRemoved(MachineState& s, const std::vector<StackMember>& members) {
  std::vector<std::pair<std::string, std::string>> reports;
  {
    std::lock_guard lock(s.objectMutex);
    for (const auto& [device, driver] : members) {
      if (!stillExists(device, driver)) continue;
      if (device->DeviceObjectExtension->attachedTo != nullptr) {
        reports.emplace_back("REMOVED_DEVICE_STILL_ATTACHED",
                             deviceName(device) +
                                 " is still attached after IRP_MN_REMOVE_DEVICE; the driver "
                                 "detaches it (IoDetachDevice) before deleting it");
      }
      reports.emplace_back("REMOVED_DEVICE_NOT_DELETED",
                           deviceName(device) +
                               " still exists after IRP_MN_REMOVE_DEVICE; the driver deletes it "
                               "(IoDeleteDevice), or Windows never unloads the driver");
    }
  }
  for (auto& [rule, detail] : reports) s.report(rule, detail);
}

// Handles programs hold open to any device object of the stack (references the kernel holds do not count).
LONG openHandles(MachineState& s, PDEVICE_OBJECT pdo) {
  LONG count = 0;
  for (Handle handle : s.handles.open()) {
    PFILE_OBJECT file = s.machine->fileObject(handle);
    if (file != nullptr && busPdoBelow(file->DeviceObject) == pdo) ++count;
  }
  return count;
}

}  // namespace

const char* deviceStateName(DeviceState state) {
  switch (state) {
    case DeviceState::added: return "added";
    case DeviceState::started: return "started";
    case DeviceState::stopped: return "stopped";
    case DeviceState::surpriseRemoved: return "surprise-removed";
    case DeviceState::removed: return "removed";
  }
  return "unknown";
}

NTSTATUS Machine::callAddDevice(DeviceNode& node) {
  auto& s = *state_;
  PDRIVER_ADD_DEVICE addRoutine = node.driver_->object()->DriverExtension->AddDevice;
  if (addRoutine == nullptr) return STATUS_NOT_SUPPORTED;
  NTSTATUS status = addRoutine(node.driver_->object(), node.pdo_);
  if (!NT_SUCCESS(status)) return status;
  std::vector<std::string> initializing;
  {
    std::lock_guard lock(s.objectMutex);
    for (PDEVICE_OBJECT at = attachedAbove(node.pdo_); at != nullptr; at = attachedAbove(at)) {
      if (at->Flags & DO_DEVICE_INITIALIZING) initializing.push_back(deviceName(at));
    }
  }
  for (auto& name : initializing) {
    s.report("DEVICE_INITIALIZING_AFTER_ADD_DEVICE",
             name +
                 " still has DO_DEVICE_INITIALIZING when AddDevice returns; AddDevice clears it as its last "
                 "step, or no request can reach the device");
  }
  return status;
}

IoResult Machine::pnp(DeviceNode& node, UCHAR minor) {
  if (minor == IRP_MN_QUERY_CAPABILITIES) return queryCapabilities(node);
  auto& s = *state_;
  std::vector<StackMember> members;
  if (minor == IRP_MN_REMOVE_DEVICE) members = devicesAbove(s, node.pdo());
  PDEVICE_OBJECT target;
  PIRP irp = buildPnpIrp(node, minor, &target);
  if (minor == IRP_MN_QUERY_DEVICE_RELATIONS) {
    IoGetNextIrpStackLocation(irp)->Parameters.QueryDeviceRelations.Type = BusRelations;
  }
  IoResult result = sendAndWait(target, irp, false);
  // Where the device is in its life follows the requests that move it; a
  // surprise removal sent alone is only the request (surpriseRemove is the
  // PnP manager's whole surprise removal).
  switch (minor) {
    case IRP_MN_START_DEVICE:
      if (!result.failed()) node.state_ = DeviceState::started;
      break;
    case IRP_MN_STOP_DEVICE: node.state_ = DeviceState::stopped; break;
    case IRP_MN_REMOVE_DEVICE:
      node.state_ = DeviceState::removed;
      checkRemoved(s, members);
      break;
    default: break;
  }
  return result;
}

IoResult Machine::queryCapabilities(DeviceNode& node, DEVICE_CAPABILITIES* answer) {
  // The sender initialises the structure; the bus driver fills it on the way down.
  DEVICE_CAPABILITIES caps{};
  caps.Size = sizeof caps;
  caps.Version = 1;
  caps.Address = 0xFFFFFFFF;
  caps.UINumber = 0xFFFFFFFF;
  PDEVICE_OBJECT target;
  PIRP irp = buildPnpIrp(node, IRP_MN_QUERY_CAPABILITIES, &target);
  IoGetNextIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities = &caps;
  IoResult result = sendAndWait(target, irp, false);
  if (answer != nullptr) *answer = caps;
  return result;
}

IoResult Machine::startDevice(DeviceNode& node) {
  IoResult start = pnp(node, IRP_MN_START_DEVICE);
  if (start.failed()) return start;
  queryCapabilities(node);
  pnp(node, IRP_MN_QUERY_PNP_DEVICE_STATE);
  pnp(node, IRP_MN_QUERY_DEVICE_RELATIONS);
  return start;
}

IoResult Machine::disableDevice(DeviceNode& node) {
  auto& s = *state_;
  if (node.state_ == DeviceState::removed || node.fdo() == nullptr) return failure(STATUS_NO_SUCH_DEVICE);
  // The PnP manager asks no driver while a program holds the device open (PNP_VetoOutstandingOpen).
  if (openHandles(s, node.pdo()) > 0) return failure(STATUS_PLUGPLAY_QUERY_VETOED);
  IoResult query = pnp(node, IRP_MN_QUERY_REMOVE_DEVICE);
  if (query.failed()) {
    pnp(node, IRP_MN_CANCEL_REMOVE_DEVICE);
    return query;
  }
  return pnp(node, IRP_MN_REMOVE_DEVICE);
}

IoResult Machine::enableDevice(DeviceNode& node) {
  if (node.state_ != DeviceState::removed) return failure(STATUS_DEVICE_NOT_READY);
  node.addStatus_ = callAddDevice(node);
  if (!NT_SUCCESS(node.addStatus_)) return failure(node.addStatus_);
  node.state_ = DeviceState::added;
  return startDevice(node);
}

IoResult Machine::surpriseRemove(DeviceNode& node) {
  auto& s = *state_;
  if (node.state_ == DeviceState::removed || node.state_ == DeviceState::surpriseRemoved) {
    return failure(STATUS_NO_SUCH_DEVICE);
  }
  IoResult result = pnp(node, IRP_MN_SURPRISE_REMOVAL);
  // From here on the device is gone from the bus: no new handle, and the removal at the last close.
  node.state_ = DeviceState::surpriseRemoved;
  if (openHandles(s, node.pdo()) == 0) return pnp(node, IRP_MN_REMOVE_DEVICE);
  return result;
}

void Machine::lastHandleClosed(DeviceNode& node) {
  if (node.state_ == DeviceState::surpriseRemoved && openHandles(*state_, node.pdo()) == 0) {
    pnp(node, IRP_MN_REMOVE_DEVICE);
  }
}

IoResult Machine::rebalance(DeviceNode& node) {
  if (node.state_ != DeviceState::started) return failure(STATUS_DEVICE_NOT_READY);
  IoResult query = pnp(node, IRP_MN_QUERY_STOP_DEVICE);
  if (query.failed()) {
    pnp(node, IRP_MN_CANCEL_STOP_DEVICE);
    return query;
  }
  IoResult stop = pnp(node, IRP_MN_STOP_DEVICE);
  if (stop.failed()) return stop;
  return startDevice(node);
}

std::vector<DeviceNode*> Machine::nodesOf(const Driver& driver) const {
  std::lock_guard lock(state_->objectMutex);
  std::vector<DeviceNode*> nodes;
  for (auto& node : state_->nodes) {
    if (node->driver_ == &driver) nodes.push_back(node.get());
  }
  return nodes;
}

IoResult Machine::uninstall(Driver& driver) {
  auto& s = *state_;
  if (!driver.loaded()) return failure(STATUS_NO_SUCH_DEVICE);
  IoResult result;
  for (DeviceNode* node : nodesOf(driver)) {
    if (node->state_ == DeviceState::removed || node->fdo() == nullptr) continue;
    IoResult removal = disableDevice(*node);
    if (removal.failed()) result = removal;
  }
  if (driver.object()->DeviceObject != nullptr) {
    s.report("DRIVER_NOT_UNLOADED",
             "driver " + driver.name() + " still has " + deviceName(driver.object()->DeviceObject) +
                 " after removal; Windows unloads a PnP driver only once its last device object is deleted");
    return result.failed() ? result : failure(STATUS_DEVICE_BUSY);
  }
  unload(driver);
  return result;
}

}  // namespace ntsim
