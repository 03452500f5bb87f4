// Object directories, symbolic links and device interfaces, and the names
// the loader gives a driver: its own service key as RegistryPath, its
// \Driver\ name, the hardware database. After DriverEntry the I/O manager
// readies the devices DriverEntry made and points every MajorFunction entry
// left empty at its default.
#include "irp.h"
#include "pool.h"
#include "state.h"

#include <cstdio>

namespace ntsim {

namespace {

// The directories of a fresh system that drivers name objects in.
constexpr std::u16string_view kDirectories[] = {
    u"",           u"\\DEVICE",     u"\\DOSDEVICES",    u"\\DRIVER",
    u"\\CALLBACK", u"\\FILESYSTEM", u"\\KERNELOBJECTS", u"\\BASENAMEDOBJECTS"};

UNICODE_STRING view(std::u16string& text) {
  return {static_cast<USHORT>(text.size() * 2), static_cast<USHORT>(text.size() * 2 + 2),
          reinterpret_cast<PWSTR>(text.data())};
}

}  // namespace

std::u16string canonicalName(std::u16string_view name) {
  std::u16string out;
  out.reserve(name.size());
  for (char16_t c : name) out.push_back(c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c);
  for (std::u16string_view alias : {u"\\??\\", u"\\GLOBAL??\\"}) {
    if (out.starts_with(alias)) return u"\\DOSDEVICES\\" + out.substr(alias.size());
  }
  return out;
}

std::u16string canonicalName(const UNICODE_STRING& name) {
  if (name.Buffer == nullptr) return {};
  return canonicalName(std::u16string_view(reinterpret_cast<const char16_t*>(name.Buffer), name.Length / 2));
}

NTSTATUS checkDirectory(const MachineState&, const std::u16string& canonical) {
  if (!canonical.starts_with(u'\\')) return STATUS_OBJECT_PATH_SYNTAX_BAD;
  size_t slash = canonical.rfind(u'\\');
  if (slash + 1 == canonical.size()) return STATUS_OBJECT_NAME_INVALID;
  std::u16string_view directory(canonical.data(), slash);
  for (auto known : kDirectories) {
    if (directory == known) return STATUS_SUCCESS;
  }
  return STATUS_OBJECT_PATH_NOT_FOUND;
}

PDEVICE_OBJECT resolveDevice(const MachineState& s, std::u16string canonical) {
  for (int depth = 0; depth < 32; ++depth) {  // the object manager's limit on reparsing
    if (auto it = s.names.find(canonical); it != s.names.end()) return it->second;
    auto link = s.objectNames.links.find(canonical);
    if (link == s.objectNames.links.end()) return nullptr;
    canonical = link->second;
  }
  return nullptr;
}

PUNICODE_STRING prepareDriverObject(MachineState& s, PDRIVER_OBJECT object, const std::string& name) {
  auto names = std::make_unique<DriverNames>();
  names->serviceKey = widen(name);
  names->registryPath = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + names->serviceKey;
  names->driverName = u"\\Driver\\" + names->serviceKey;
  names->hardwareDatabase = u"\\REGISTRY\\MACHINE\\HARDWARE\\DESCRIPTION\\SYSTEM";
  names->registryPathString = view(names->registryPath);
  names->hardwareDatabaseString = view(names->hardwareDatabase);
  object->DriverName = view(names->driverName);
  object->HardwareDatabase = &names->hardwareDatabaseString;
  object->DriverExtension->ServiceKeyName = view(names->serviceKey);
  PUNICODE_STRING registryPath = &names->registryPathString;
  std::lock_guard lock(s.objectMutex);
  s.objectNames.drivers[object] = std::move(names);
  return registryPath;
}

void finishDriverEntry(MachineState& s, PDRIVER_OBJECT object) {
  std::lock_guard lock(s.objectMutex);
  for (PDEVICE_OBJECT device = object->DeviceObject; device != nullptr; device = device->NextDevice) {
    device->Flags &= ~DO_DEVICE_INITIALIZING;
  }
  for (auto& major : object->MajorFunction) {
    if (major == nullptr) major = defaultDispatch();
  }
}

}  // namespace ntsim

using namespace ntsim;

extern "C" {

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
  auto& s = M();
  if (SymbolicLinkName == nullptr || DeviceName == nullptr || SymbolicLinkName->Buffer == nullptr) {
    s.report("BAD_ARGUMENT", "IoCreateSymbolicLink with a NULL name");
    return STATUS_INVALID_PARAMETER;
  }
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) s.report("IRQL_TOO_HIGH", "IoCreateSymbolicLink above PASSIVE_LEVEL");
  std::u16string link = canonicalName(*SymbolicLinkName);
  if (NTSTATUS status = checkDirectory(s, link); !NT_SUCCESS(status)) return status;
  std::lock_guard lock(s.objectMutex);
  if (s.names.count(link) != 0 || s.objectNames.links.count(link) != 0) return STATUS_OBJECT_NAME_COLLISION;
  s.objectNames.links[link] = canonicalName(*DeviceName);
  return STATUS_SUCCESS;
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
  auto& s = M();
  if (SymbolicLinkName == nullptr) {
    s.report("BAD_ARGUMENT", "IoDeleteSymbolicLink with a NULL name");
    return STATUS_INVALID_PARAMETER;
  }
  std::lock_guard lock(s.objectMutex);
  return s.objectNames.links.erase(canonicalName(*SymbolicLinkName)) != 0 ? STATUS_SUCCESS
                                                                          : STATUS_OBJECT_NAME_NOT_FOUND;
}

}  // extern "C"

// ------------------------------------------------ interfaces and properties

namespace ntsim {
namespace {

// The root bus's physical device object, or nullptr (IoGetDeviceProperty and
// IoRegisterDeviceInterface take only those; Windows bug checks 0xCA/2).
DeviceNode* nodeOf(PDEVICE_OBJECT device) {
  return device != nullptr && device->DeviceObjectExtension != nullptr ? device->DeviceObjectExtension->node : nullptr;
}

std::u16string upper(std::string_view text) { return canonicalName(widen(text)); }

std::u16string guidText(const GUID& guid) {
  char text[48];
  std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", guid.Data1, guid.Data2,
                guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
                guid.Data4[6], guid.Data4[7]);
  return widen(text);
}

std::string instanceName(DeviceNode* node) {
  return node->driver() != nullptr ? node->driver()->name() : std::string("UNKNOWN");
}

NTSTATUS answer(const void* data, ULONG bytes, ULONG bufferLength, PVOID buffer, PULONG resultLength) {
  *resultLength = bytes;
  if (bufferLength < bytes) return STATUS_BUFFER_TOO_SMALL;
  std::memcpy(buffer, data, bytes);
  return STATUS_SUCCESS;
}

NTSTATUS answerText(std::u16string text, bool multi, ULONG bufferLength, PVOID buffer, PULONG resultLength) {
  text.push_back(u'\0');
  if (multi) text.push_back(u'\0');
  return answer(text.data(), static_cast<ULONG>(text.size() * 2), bufferLength, buffer, resultLength);
}

}  // namespace
}  // namespace ntsim

extern "C" {

PDEVICE_OBJECT IoGetLowerDeviceObject(PDEVICE_OBJECT DeviceObject) {
  auto& s = M();
  std::lock_guard lock(s.objectMutex);
  PDEVICE_OBJECT lower = DeviceObject->DeviceObjectExtension->attachedTo;
  if (lower != nullptr) ++lower->ReferenceCount;
  return lower;
}

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID* InterfaceClassGuid,
                                   PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName) {
  auto& s = M();
  DeviceNode* node = nodeOf(PhysicalDeviceObject);
  if (node == nullptr || InterfaceClassGuid == nullptr || SymbolicLinkName == nullptr) {
    s.report("INVALID_PDO",
             "IoRegisterDeviceInterface with " + hex(reinterpret_cast<uintptr_t>(PhysicalDeviceObject)) +
                 ", which is not a physical device object, or a NULL GUID or result (bug check 0xCA/0x2)");
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  // \??\ROOT#<service>#0000#{guid}[\reference], as the PnP manager names a root device's interface.
  std::u16string name = u"\\??\\ROOT#" + upper(instanceName(node)) + u"#0000#" + guidText(*InterfaceClassGuid);
  if (ReferenceString != nullptr && ReferenceString->Length != 0) {
    name +=
        u"\\" + std::u16string(reinterpret_cast<const char16_t*>(ReferenceString->Buffer), ReferenceString->Length / 2);
  }
  size_t bytes = (name.size() + 1) * 2;
  // The caller frees the name with RtlFreeUnicodeString: pool, charged to the caller.
  auto* buffer = static_cast<char16_t*>(
      allocatePoolFor(NonPagedPoolNx, bytes, 0x20206f49 /* "Io  " */, __builtin_return_address(0)));
  if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  std::memcpy(buffer, name.c_str(), bytes);
  SymbolicLinkName->Buffer = reinterpret_cast<PWSTR>(buffer);
  SymbolicLinkName->Length = static_cast<USHORT>(bytes - 2);
  SymbolicLinkName->MaximumLength = static_cast<USHORT>(bytes);
  std::lock_guard lock(s.objectMutex);
  s.objectNames.interfaces[canonicalName(name)].pdo = PhysicalDeviceObject;
  return STATUS_SUCCESS;
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
  auto& s = M();
  if (SymbolicLinkName == nullptr) return STATUS_INVALID_PARAMETER;
  std::u16string link = canonicalName(*SymbolicLinkName);
  // The link covers the interface name up to its reference string.
  std::u16string linkName = link.substr(0, link.find(u'\\', std::u16string_view(u"\\DOSDEVICES\\").size()));
  std::lock_guard lock(s.objectMutex);
  auto it = s.objectNames.interfaces.find(link);
  if (it == s.objectNames.interfaces.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
  if (bool(Enable) == it->second.enabled) return Enable ? STATUS_OBJECT_NAME_EXISTS : STATUS_OBJECT_NAME_NOT_FOUND;
  it->second.enabled = Enable;
  if (Enable)
    s.objectNames.links[linkName] = canonicalName(it->second.pdo->DeviceObjectExtension->name);
  else
    s.objectNames.links.erase(linkName);
  return STATUS_SUCCESS;
}

NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty, ULONG BufferLength,
                             PVOID PropertyBuffer, PULONG ResultLength) {
  auto& s = M();
  DeviceNode* node = nodeOf(DeviceObject);
  if (node == nullptr || ResultLength == nullptr) {
    s.report("INVALID_PDO", "IoGetDeviceProperty with " + hex(reinterpret_cast<uintptr_t>(DeviceObject)) +
                                ", which is not a physical device object (bug check 0xCA/0x2)");
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  if (KeGetCurrentIrql() != PASSIVE_LEVEL)
    s.report("IRQL_NOT_LESS_OR_EQUAL", "IoGetDeviceProperty above PASSIVE_LEVEL");
  std::u16string service = upper(instanceName(node));
  ULONG number = 0;
  switch (DeviceProperty) {
    case DevicePropertyHardwareID:
      return answerText(u"ROOT\\" + service, true, BufferLength, PropertyBuffer, ResultLength);
    case DevicePropertyCompatibleIDs: return answerText(u"", true, BufferLength, PropertyBuffer, ResultLength);
    case DevicePropertyDeviceDescription:
    case DevicePropertyFriendlyName:
      return answerText(widen(instanceName(node)) + u" device", false, BufferLength, PropertyBuffer, ResultLength);
    case DevicePropertyEnumeratorName: return answerText(u"ROOT", false, BufferLength, PropertyBuffer, ResultLength);
    case DevicePropertyPhysicalDeviceObjectName:
      return answerText(DeviceObject->DeviceObjectExtension->name, false, BufferLength, PropertyBuffer, ResultLength);
    case DevicePropertyDriverKeyName:
      return answerText(u"{4d36e97d-e325-11ce-bfc1-08002be10318}\\0000", false, BufferLength, PropertyBuffer,
                        ResultLength);
    case DevicePropertyLegacyBusType:  // Internal
    case DevicePropertyBusNumber:
    case DevicePropertyInstallState:  // InstallStateInstalled
      return answer(&number, sizeof number, BufferLength, PropertyBuffer, ResultLength);
    case DevicePropertyAddress:
    case DevicePropertyUINumber: {
      DEVICE_CAPABILITIES caps = node->bus().capabilities;
      number = DeviceProperty == DevicePropertyAddress ? caps.Address : caps.UINumber;
      return answer(&number, sizeof number, BufferLength, PropertyBuffer, ResultLength);
    }
    case DevicePropertyRemovalPolicy:
      number = 1;  // RemovalPolicyExpectNoRemoval
      return answer(&number, sizeof number, BufferLength, PropertyBuffer, ResultLength);
    default: *ResultLength = 0; return STATUS_INVALID_PARAMETER_2;
  }
}

}  // extern "C"
