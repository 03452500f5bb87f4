// Object directories, symbolic links and device interfaces, and the names
// the loader gives a driver: its own service key as RegistryPath, its
// \Driver\ name, the hardware database. After DriverEntry the I/O manager
// readies the devices DriverEntry made and points every MajorFunction entry
// left empty at its default.
#include "state.h"

#include <cstdio>

namespace ntsim {

PDRIVER_DISPATCH defaultDispatch();

namespace {

// The directories of a fresh system that drivers name objects in.
constexpr std::u16string_view kDirectories[] = {u"",          u"\\DEVICE",   u"\\DOSDEVICES", u"\\DRIVER",
                                                u"\\CALLBACK", u"\\FILESYSTEM", u"\\KERNELOBJECTS",
                                                u"\\BASENAMEDOBJECTS"};

UNICODE_STRING view(std::u16string& text) {
  return {static_cast<USHORT>(text.size() * 2), static_cast<USHORT>(text.size() * 2 + 2),
          reinterpret_cast<PWSTR>(text.data())};
}

}  // namespace

std::u16string canonicalName(std::u16string_view name) {
  std::u16string out;
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
