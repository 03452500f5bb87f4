// The one current machine, and the inspection side of its state.
#include "bugcheck.h"
#include "bus.h"
#include "irp.h"
#include "objects.h"
#include "state.h"

#include <cstdio>
#include <cstdlib>

namespace ntsim {

[[gnu::visibility("hidden")]] std::atomic<Machine*> g_current{nullptr};

void noMachine() {
  std::fprintf(stderr,
               "ntsim: a kernel routine was called with no machine; create an ntsim::Machine "
               "before loading or calling into a driver\n");
  std::abort();
}

void MachineState::report(std::string rule, std::string detail) {
  Violation violation{std::move(rule), std::move(detail)};
  std::function<void(const Violation&)> echo;
  {
    std::lock_guard lock(verifierMutex);
    violations.push_back(violation);
    echo = violationEcho;
  }
  if (echo) echo(violation);
}

bool MachineState::takeFault(int& counter) {
  // Most calls find no fault asked for: they need not take the lock to see it.
  if (std::atomic_ref<int>(counter).load(std::memory_order_relaxed) <= 0) return false;
  std::lock_guard lock(faultMutex);
  std::atomic_ref<int> left(counter);
  if (left.load(std::memory_order_relaxed) <= 0) return false;
  left.store(left.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
  return true;
}

const Driver* MachineState::ownerOf(const void* codeAddress) const {
  auto address = reinterpret_cast<uintptr_t>(codeAddress);
  std::lock_guard lock(objectMutex);
  for (const auto& driver : drivers) {
    if (address >= driver->imageBegin_ && address < driver->imageEnd_) return driver.get();
  }
  return nullptr;
}

Machine::Machine() : state_(std::make_unique<MachineState>()) {
  state_->machine = this;
  Machine* expected = nullptr;
  if (!g_current.compare_exchange_strong(expected, this)) {
    std::fprintf(stderr, "ntsim: a second Machine was created while one exists; destroy the first one first\n");
    std::abort();
  }
  createRootBus(*state_);
  installCrashHandler();
}

Machine::~Machine() {
  // Let requests the bus still completes from its helper threads finish first.
  state_->busCompletions.waitForNone();
  // Handles still open close as a program's handles do when it exits:
  // cleanup and close reach the driver before anything is unloaded.
  for (Handle handle : state_->handles.open()) close(handle);
  // Unload what is still loaded, newest first, so that modules are dropped.
  while (true) {
    Driver* last = nullptr;
    {
      std::lock_guard lock(state_->objectMutex);
      for (auto& driver : state_->drivers) {
        if (driver->loaded()) last = driver.get();
      }
    }
    if (last == nullptr) break;
    unload(*last);
  }
  stopWorkers(*state_);
  dropAbandonedIrps(*state_);
  // Devices a driver left behind (reported at its unload) and those of
  // in-process test drivers go with the machine, and so do their driver objects.
  auto dropDevices = [](PDRIVER_OBJECT object) {
    while (object->DeviceObject != nullptr) {
      PDEVICE_OBJECT device = object->DeviceObject;
      object->DeviceObject = device->NextDevice;
      freeDeviceObject(device);
    }
  };
  for (auto& driver : state_->drivers) {
    if (driver->object_ == nullptr) continue;
    dropDevices(driver->object_);
    delete driver->object_->DriverExtension;
    delete driver->object_;
    driver->object_ = nullptr;
  }
  for (PDRIVER_OBJECT object : state_->testDrivers) {
    dropDevices(object);
    delete object->DriverExtension;
    delete object;
  }
  // Pool a driver leaked (reported at its unload) goes with the machine.
  {
    std::lock_guard lock(state_->poolMutex);
    for (auto& [block, info] : state_->pool) std::free(block);
    state_->pool.clear();
  }
  destroyRootBus(*state_);
  removeCrashHandler();
  g_current.store(nullptr, std::memory_order_release);
}

Machine& Machine::current() { return *M().machine; }
Machine* Machine::currentOrNull() { return g_current.load(std::memory_order_acquire); }

std::vector<Violation> Machine::violations() const {
  std::lock_guard lock(state_->verifierMutex);
  return state_->violations;
}

void Machine::clearViolations() {
  std::lock_guard lock(state_->verifierMutex);
  state_->violations.clear();
}

void Machine::setViolationEcho(std::function<void(const Violation&)> echo) {
  std::lock_guard lock(state_->verifierMutex);
  state_->violationEcho = std::move(echo);
}

Faults& Machine::faults() { return state_->faults; }

void Machine::setHangTimeout(std::chrono::milliseconds timeout) { state_->hangTimeout = timeout; }

std::vector<Driver*> Machine::drivers() const {
  std::lock_guard lock(state_->objectMutex);
  std::vector<Driver*> result;
  for (auto& driver : state_->drivers) {
    if (driver->loaded()) result.push_back(driver.get());
  }
  return result;
}

}  // namespace ntsim
