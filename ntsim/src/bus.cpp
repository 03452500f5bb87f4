// The root bus: the bus driver below every root-enumerated device. Its
// answers are scriptable per device, and it records every IRP that reaches
// the bottom of a stack. As a bus driver's physical device object it
// completes the requests a PDO completes (start, stop, removal and their
// queries, capabilities) and leaves the preset STATUS_NOT_SUPPORTED on the
// rest; wait-wake and power-sequence IRPs, which it cannot honour, too.
#include "bus.h"
#include "helper_threads.h"
#include "irp.h"
#include "objects.h"
#include "pnp.h"
#include "state.h"

#include <thread>
#include <utility>

namespace ntsim {

struct BusDevice {
  mutable std::mutex mutex;
  BusBehaviour behaviour;
  std::vector<BusRecord> records;
};

namespace {

BusDevice& busOf(PDEVICE_OBJECT pdo) { return **static_cast<BusDevice**>(pdo->DeviceExtension); }

// Completes the IRP now, or after `delay` from a helper thread at DISPATCH_LEVEL.
NTSTATUS completeOrPend(MachineState& s, PIRP irp, NTSTATUS status, bool pend, std::chrono::microseconds delay) {
  if (!pend) {
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  }
  IoMarkIrpPending(irp);
  s.busCompletions.begin();
  runOnHelperThread([&s, irp, status, delay] {
    if (delay.count() > 0) std::this_thread::sleep_for(delay);
    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    KfLowerIrql(old);
    s.busCompletions.end();
  });
  return STATUS_PENDING;
}

void record(BusDevice& bus, PIO_STACK_LOCATION location, NTSTATUS status) {
  BusRecord entry;
  entry.major = location->MajorFunction;
  entry.minor = location->MinorFunction;
  if (entry.major == IRP_MJ_POWER) {
    entry.powerType = location->Parameters.Power.Type;
    entry.powerState = static_cast<ULONG>(location->Parameters.Power.State.SystemState);
    entry.shutdownType = location->Parameters.Power.ShutdownType;
  }
  entry.completedWith = status;
  bus.records.push_back(entry);
}

NTSTATUS busPnp(PDEVICE_OBJECT pdo, PIRP irp) {
  auto& s = M();
  BusDevice& bus = busOf(pdo);
  if (IrpHeader* h = headerOf(irp)) h->reachedBus.store(true);
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;  // what the bus does not handle keeps its status
  bool pend;
  std::chrono::microseconds delay;
  {
    std::lock_guard lock(bus.mutex);
    pend = bus.behaviour.pend;
    delay = bus.behaviour.pendDelay;
    switch (location->MinorFunction) {
      case IRP_MN_QUERY_CAPABILITIES: {
        status = bus.behaviour.capabilitiesStatus;
        PDEVICE_CAPABILITIES caps = location->Parameters.DeviceCapabilities.Capabilities;
        if (NT_SUCCESS(status) && caps != nullptr) {
          USHORT size = caps->Size, version = caps->Version;
          *caps = bus.behaviour.capabilities;
          caps->Size = size;
          caps->Version = version;
        }
        break;
      }
      default:
        // A PDO succeeds the requests of its device's life; the rest keep their status.
        if (isLifecycleMinor(location->MinorFunction)) status = STATUS_SUCCESS;
        break;
    }
    record(bus, location, status);
  }
  return completeOrPend(s, irp, status, pend, delay);
}

NTSTATUS busPower(PDEVICE_OBJECT pdo, PIRP irp) {
  auto& s = M();
  BusDevice& bus = busOf(pdo);
  if (IrpHeader* h = headerOf(irp)) h->reachedBus.store(true);
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  bool pend;
  std::chrono::microseconds delay;
  {
    std::lock_guard lock(bus.mutex);
    pend = bus.behaviour.pend;
    delay = bus.behaviour.pendDelay;
    if (location->MinorFunction == IRP_MN_SET_POWER || location->MinorFunction == IRP_MN_QUERY_POWER) {
      status = bus.behaviour.powerStatus;
    }
    record(bus, location, status);
  }
  if (location->MinorFunction == IRP_MN_SET_POWER || location->MinorFunction == IRP_MN_QUERY_POWER) {
    PoStartNextPowerIrp(irp);
  }
  return completeOrPend(s, irp, status, pend, delay);
}

}  // namespace

DEVICE_CAPABILITIES rootBusCapabilities() {
  DEVICE_CAPABILITIES caps{};
  caps.Size = sizeof caps;
  caps.Version = 1;
  caps.Address = 0xFFFFFFFF;
  caps.UINumber = 0xFFFFFFFF;
  caps.DeviceState[PowerSystemUnspecified] = PowerDeviceUnspecified;
  caps.DeviceState[PowerSystemWorking] = PowerDeviceD0;
  for (int state = PowerSystemSleeping1; state <= PowerSystemShutdown; ++state) caps.DeviceState[state] = PowerDeviceD3;
  caps.SystemWake = PowerSystemUnspecified;
  caps.DeviceWake = PowerDeviceUnspecified;
  return caps;
}

void createRootBus(MachineState& s) {
  auto* driver = new DRIVER_OBJECT{};
  driver->Type = 4;  // IO_TYPE_DRIVER
  driver->Size = sizeof(DRIVER_OBJECT);
  driver->DriverExtension = new DRIVER_EXTENSION{};
  driver->DriverExtension->DriverObject = driver;
  for (auto& entry : driver->MajorFunction) entry = defaultDispatch();
  driver->MajorFunction[IRP_MJ_PNP] = busPnp;
  driver->MajorFunction[IRP_MJ_POWER] = busPower;
  s.busDriver = driver;
}

PDEVICE_OBJECT createPhysicalDevice(MachineState& s) {
  PDEVICE_OBJECT pdo = nullptr;
  // Faults injected into IoCreateDevice are meant for the driver's AddDevice, not for the bus.
  int pendingFaults;
  {
    std::lock_guard lock(s.faultMutex);
    pendingFaults = std::exchange(s.faults.createDevice, 0);
  }
  NTSTATUS status = IoCreateDevice(s.busDriver, sizeof(BusDevice*), nullptr, FILE_DEVICE_BUS_EXTENDER,
                                   FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo);
  {
    std::lock_guard lock(s.faultMutex);
    s.faults.createDevice = pendingFaults;
  }
  if (!NT_SUCCESS(status)) return nullptr;
  auto* bus = new BusDevice;
  bus->behaviour.capabilities = rootBusCapabilities();
  *static_cast<BusDevice**>(pdo->DeviceExtension) = bus;
  pdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return pdo;
}

void destroyRootBus(MachineState& s) {
  PDRIVER_OBJECT driver = s.busDriver;
  while (driver->DeviceObject != nullptr) {
    PDEVICE_OBJECT pdo = driver->DeviceObject;
    delete &busOf(pdo);
    setAttachedAbove(pdo, nullptr);
    IoDeleteDevice(pdo);
  }
  delete driver->DriverExtension;
  delete driver;
  s.busDriver = nullptr;
}

BusBehaviour DeviceNode::bus() const {
  BusDevice& bus = busOf(pdo_);
  std::lock_guard lock(bus.mutex);
  return bus.behaviour;
}

void DeviceNode::setBus(const BusBehaviour& behaviour) {
  BusDevice& bus = busOf(pdo_);
  std::lock_guard lock(bus.mutex);
  bus.behaviour = behaviour;
}

std::vector<BusRecord> DeviceNode::busRecords() const {
  BusDevice& bus = busOf(pdo_);
  std::lock_guard lock(bus.mutex);
  return bus.records;
}

PDEVICE_OBJECT DeviceNode::fdo() const { return pdo_->AttachedDevice; }

int Machine::busCompletionsInFlight() const { return state_->busCompletions.count(); }

bool Machine::waitForBusCompletions(std::chrono::milliseconds timeout) const {
  return state_->busCompletions.waitForNone(timeout);
}

}  // namespace ntsim
