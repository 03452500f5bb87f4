// Device objects: creation in the object namespace, attachment, detachment
// and deletion.
#include "state.h"

#include <cstdlib>

namespace ntsim {

void forgetRemoveLocksIn(MachineState& s, const void* begin, size_t bytes, const std::string& owner,
                         bool removing);

std::u16string upperName(const UNICODE_STRING& name) {
  std::u16string out;
  const auto* units = reinterpret_cast<const uint16_t*>(name.Buffer);
  for (size_t i = 0; units != nullptr && i < name.Length / 2u; ++i) {
    char16_t c = units[i];
    out.push_back(c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c);
  }
  return out;
}

std::string deviceName(PDEVICE_OBJECT device) {
  if (device == nullptr) return "(no device)";
  auto* ext = device->DeviceObjectExtension;
  std::string name;
  if (ext != nullptr) {
    for (char16_t c : ext->name) name.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  }
  return "device " + hex(reinterpret_cast<uintptr_t>(device)) + (name.empty() ? "" : " (" + name + ")");
}

void freeDeviceObject(PDEVICE_OBJECT device) {
  delete device->DeviceObjectExtension;
  std::free(device);
}

}  // namespace ntsim

using namespace ntsim;

extern "C" {

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                        ULONG DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject) {
  auto& s = M();
  if (DriverObject == nullptr || DeviceObject == nullptr) {
    s.report("BAD_ARGUMENT", "IoCreateDevice with a NULL driver object or result pointer");
    return STATUS_INVALID_PARAMETER;
  }
  *DeviceObject = nullptr;
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    s.report("IRQL_TOO_HIGH", "IoCreateDevice above PASSIVE_LEVEL");
  }
  {
    std::lock_guard lock(s.faultMutex);
    if (s.faults.createDevice > 0) {
      --s.faults.createDevice;
      return s.faults.createDeviceStatus;
    }
  }
  std::lock_guard lock(s.objectMutex);
  std::u16string key;
  if (DeviceName != nullptr && DeviceName->Length != 0) {
    key = upperName(*DeviceName);
    if (s.names.count(key) != 0) return STATUS_OBJECT_NAME_COLLISION;
  }
  auto* device = static_cast<PDEVICE_OBJECT>(std::calloc(1, sizeof(DEVICE_OBJECT) + DeviceExtensionSize));
  if (device == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  auto* ext = new _DEVOBJ_EXTENSION;
  ext->self = device;
  ext->extensionSize = DeviceExtensionSize;
  if (DeviceName != nullptr && DeviceName->Length != 0) {
    const auto* units = reinterpret_cast<const char16_t*>(DeviceName->Buffer);
    ext->name.assign(units, DeviceName->Length / 2);
    s.names[key] = device;
  }
  device->Type = 3;  // IO_TYPE_DEVICE
  device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
  device->ReferenceCount = 0;
  device->DriverObject = DriverObject;
  device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0) | (key.empty() ? 0 : DO_DEVICE_HAS_NAME);
  device->Characteristics = DeviceCharacteristics;
  device->DeviceType = DeviceType;
  device->StackSize = 1;
  device->DeviceExtension = DeviceExtensionSize != 0 ? device + 1 : nullptr;
  device->DeviceObjectExtension = ext;
  device->NextDevice = DriverObject->DeviceObject;
  DriverObject->DeviceObject = device;
  *DeviceObject = device;
  return STATUS_SUCCESS;
}

void IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  auto& s = M();
  if (DeviceObject == nullptr || DeviceObject->DeviceObjectExtension == nullptr) {
    s.report("BAD_ARGUMENT", "IoDeleteDevice with " + hex(reinterpret_cast<uintptr_t>(DeviceObject)) +
                                 ", which is not a device object");
    return;
  }
  std::unique_lock lock(s.objectMutex);
  auto* ext = DeviceObject->DeviceObjectExtension;
  if (ext->attachedTo != nullptr) {
    lock.unlock();
    s.report("DELETE_ATTACHED_DEVICE", deviceName(DeviceObject) + " deleted while still attached to " +
                                           deviceName(ext->attachedTo) + "; detach it first");
    lock.lock();
    // Detach it all the same, so that the device below does not point at freed memory.
    if (ext->attachedTo->AttachedDevice == DeviceObject) setAttachedAbove(ext->attachedTo, nullptr);
    ext->attachedTo = nullptr;
  }
  if (!ext->name.empty()) {
    UNICODE_STRING name{static_cast<USHORT>(ext->name.size() * 2), static_cast<USHORT>(ext->name.size() * 2),
                        reinterpret_cast<PWSTR>(ext->name.data())};
    s.names.erase(upperName(name));
  }
  for (PDEVICE_OBJECT* link = &DeviceObject->DriverObject->DeviceObject; *link != nullptr;
       link = &(*link)->NextDevice) {
    if (*link == DeviceObject) {
      *link = DeviceObject->NextDevice;
      break;
    }
  }
  std::string owner = deviceName(DeviceObject);
  lock.unlock();
  forgetRemoveLocksIn(s, DeviceObject->DeviceExtension, ext->extensionSize, owner, ext->removalSent);
  lock.lock();
  // Open handles keep the object until the last close, as references do on Windows.
  if (DeviceObject->ReferenceCount > 0) {
    ext->deletePending = true;
    return;
  }
  freeDeviceObject(DeviceObject);
}

PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject) {
  // Every request a program sends starts here: the walk takes no lock.
  PDEVICE_OBJECT top = DeviceObject;
  while (top != nullptr) {
    PDEVICE_OBJECT above = attachedAbove(top);
    if (above == nullptr) break;
    top = above;
  }
  return top;
}

PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_OBJECT top = IoGetAttachedDevice(DeviceObject);
  auto& s = M();
  std::lock_guard lock(s.objectMutex);
  if (top != nullptr) ++top->ReferenceCount;
  return top;
}

void ObfDereferenceObject(PVOID Object) {
  auto& s = M();
  auto* device = static_cast<PDEVICE_OBJECT>(Object);
  std::lock_guard lock(s.objectMutex);
  if (device == nullptr || device->Type != 3 || device->ReferenceCount <= 0) {
    s.report("BAD_ARGUMENT", "ObDereferenceObject with an object that holds no reference");
    return;
  }
  if (--device->ReferenceCount == 0 && device->DeviceObjectExtension->deletePending) freeDeviceObject(device);
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
  auto& s = M();
  if (SourceDevice == nullptr || TargetDevice == nullptr) {
    s.report("BAD_ARGUMENT", "IoAttachDeviceToDeviceStack with a NULL device");
    return nullptr;
  }
  {
    std::lock_guard lock(s.faultMutex);
    if (s.faults.attach > 0) {
      --s.faults.attach;
      return nullptr;
    }
  }
  std::lock_guard lock(s.objectMutex);
  PDEVICE_OBJECT top = TargetDevice;
  while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
  setAttachedAbove(top, SourceDevice);
  SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
  SourceDevice->DeviceObjectExtension->attachedTo = top;
  return top;
}

void IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
  auto& s = M();
  if (TargetDevice == nullptr || attachedAbove(TargetDevice) == nullptr) {
    s.report("BAD_ARGUMENT", "IoDetachDevice with " + deviceName(TargetDevice) + ", which has nothing attached");
    return;
  }
  std::lock_guard lock(s.objectMutex);
  PDEVICE_OBJECT above = TargetDevice->AttachedDevice;
  above->DeviceObjectExtension->attachedTo = nullptr;
  setAttachedAbove(TargetDevice, nullptr);
}

}  // extern "C"
