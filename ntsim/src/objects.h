// Device objects (objects.cpp): the links of a device stack, a device's name
// as reports give it, and freeing a device object once nothing refers to it.
#pragma once

#include <ntsim/ntsim.h>

#include <atomic>
#include <string>

namespace ntsim {

// The device attached directly above a device. IoGetAttachedDevice walks a
// stack without the object lock, so the link is written (under that lock)
// and read there atomically.
inline PDEVICE_OBJECT attachedAbove(PDEVICE_OBJECT device) {
  return std::atomic_ref<PDEVICE_OBJECT>(device->AttachedDevice).load(std::memory_order_acquire);
}
inline void setAttachedAbove(PDEVICE_OBJECT device, PDEVICE_OBJECT above) {
  std::atomic_ref<PDEVICE_OBJECT>(device->AttachedDevice).store(above, std::memory_order_release);
}

// "device 0x… (\Device\NAME)", for reports.
std::string deviceName(PDEVICE_OBJECT device);
void freeDeviceObject(PDEVICE_OBJECT device);

}  // namespace ntsim
