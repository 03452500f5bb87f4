// The loader: a driver module is loaded from its own copy, so that every
// load has fresh globals and modules loaded side by side share nothing.
#include "state.h"

#include <dlfcn.h>
#include <link.h>

#include <filesystem>
#include <stdexcept>

namespace ntsim {

PDRIVER_DISPATCH defaultDispatch();
PDEVICE_OBJECT createPhysicalDevice(MachineState& s);
std::string deviceName(PDEVICE_OBJECT device);

namespace {

namespace fs = std::filesystem;

struct ImageRange {
  const std::string* path;
  uintptr_t begin = UINTPTR_MAX;
  uintptr_t end = 0;
};

int findImage(struct dl_phdr_info* info, size_t, void* data) {
  auto* range = static_cast<ImageRange*>(data);
  if (info->dlpi_name == nullptr || *range->path != info->dlpi_name) return 0;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const auto& header = info->dlpi_phdr[i];
    if (header.p_type != PT_LOAD) continue;
    uintptr_t begin = info->dlpi_addr + header.p_vaddr;
    range->begin = std::min(range->begin, begin);
    range->end = std::max(range->end, begin + header.p_memsz);
  }
  return 1;
}

// A signal (a profiler's or a fuzzer's timer) may interrupt the copy; it is
// tried again rather than failing the load.
std::string copyModule(const std::string& path, const std::string& name) {
  static std::atomic<unsigned> counter{0};
  fs::path dir = fs::temp_directory_path() / ("ntsim-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  fs::path copy = dir / (std::to_string(counter.fetch_add(1)) + "-" + name + ".so");
  std::error_code error;
  for (int attempt = 0; attempt < 1000; ++attempt) {
    fs::copy_file(path, copy, fs::copy_options::overwrite_existing, error);
    if (error != std::errc::interrupted) break;
  }
  if (error) throw fs::filesystem_error("cannot copy the driver module", path, copy, error);
  return copy.string();
}

}  // namespace
}  // namespace ntsim

namespace ntsim {

void* Driver::symbol(const char* name) const { return handle_ != nullptr ? dlsym(handle_, name) : nullptr; }

Driver& Machine::load(const std::string& path) {
  auto& s = *state_;
  if (!fs::exists(path)) {
    throw std::runtime_error("driver module " + path + " does not exist; build it first (make) or check the path");
  }
  auto driver = std::make_unique<Driver>();
  driver->path_ = path;
  driver->name_ = fs::path(path).stem().string();
  driver->copyPath_ = copyModule(path, driver->name_);
  driver->handle_ = dlopen(driver->copyPath_.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (driver->handle_ == nullptr) {
    std::string why = dlerror();
    fs::remove(driver->copyPath_);
    throw std::runtime_error("cannot load driver module " + path + ": " + why +
                             "; a driver module is a shared object built against ntsim's headers "
                             "(see docs/DRIVER-MODULES.md)");
  }
  auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(driver->handle_, "DriverEntry"));
  if (entry == nullptr) {
    dlclose(driver->handle_);
    fs::remove(driver->copyPath_);
    throw std::runtime_error("driver module " + path +
                             " has no DriverEntry; export extern \"C\" NTSTATUS DriverEntry(PDRIVER_OBJECT, "
                             "PUNICODE_STRING)");
  }
  ImageRange range{&driver->copyPath_};
  dl_iterate_phdr(findImage, &range);
  driver->imageBegin_ = range.begin;
  driver->imageEnd_ = range.end;
  // The version the module is built for: its own export, not one of a library it links.
  auto* declared = static_cast<const ULONG*>(dlsym(driver->handle_, "NtsimModuleNtddiVersion"));
  auto declaredAt = reinterpret_cast<uintptr_t>(declared);
  if (declared != nullptr && declaredAt >= range.begin && declaredAt < range.end) driver->ntddiVersion_ = *declared;

  auto* object = new DRIVER_OBJECT{};
  object->Type = 4;  // IO_TYPE_DRIVER
  object->Size = sizeof(DRIVER_OBJECT);
  object->DriverExtension = new DRIVER_EXTENSION{};
  object->DriverExtension->DriverObject = object;
  object->DriverInit = entry;
  for (auto& major : object->MajorFunction) major = defaultDispatch();
  driver->object_ = object;
  Driver& result = *driver;
  {
    std::lock_guard lock(s.objectMutex);
    s.drivers.push_back(std::move(driver));
  }
  static const char16_t kRegistryPath[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\ntsim";
  UNICODE_STRING registryPath{sizeof kRegistryPath - 2, sizeof kRegistryPath,
                              reinterpret_cast<PWSTR>(const_cast<char16_t*>(kRegistryPath))};
  NTSTATUS status = entry(object, &registryPath);
  if (!NT_SUCCESS(status)) {
    // A driver whose DriverEntry fails is not loaded, and its Unload routine is not called.
    dropDriver(result);
    throw std::runtime_error("DriverEntry of " + path + " failed with " + statusName(status));
  }
  return result;
}

DeviceNode& Machine::addDevice(Driver& driver) {
  auto& s = *state_;
  auto node = std::make_unique<DeviceNode>();
  node->driver_ = &driver;
  node->pdo_ = createPhysicalDevice(s);
  if (node->pdo_ == nullptr) throw std::runtime_error("the root bus could not create a physical device object");
  node->pdo_->DeviceObjectExtension->node = node.get();
  node->addStatus_ = callAddDevice(*node);
  std::lock_guard lock(s.objectMutex);
  s.nodes.push_back(std::move(node));
  return *s.nodes.back();
}

DeviceNode& Machine::createNode() {
  auto& s = *state_;
  auto node = std::make_unique<DeviceNode>();
  node->pdo_ = createPhysicalDevice(s);
  if (node->pdo_ == nullptr) throw std::runtime_error("the root bus could not create a physical device object");
  node->pdo_->DeviceObjectExtension->node = node.get();
  std::lock_guard lock(s.objectMutex);
  s.nodes.push_back(std::move(node));
  return *s.nodes.back();
}

PDRIVER_OBJECT Machine::createDriverObject() {
  auto& s = *state_;
  auto* object = new DRIVER_OBJECT{};
  object->Type = 4;  // IO_TYPE_DRIVER
  object->Size = sizeof(DRIVER_OBJECT);
  object->DriverExtension = new DRIVER_EXTENSION{};
  object->DriverExtension->DriverObject = object;
  for (auto& major : object->MajorFunction) major = defaultDispatch();
  std::lock_guard lock(s.objectMutex);
  s.testDrivers.push_back(object);
  return object;
}

void Machine::unload(Driver& driver) {
  auto& s = *state_;
  if (!driver.loaded()) return;
  PDRIVER_OBJECT object = driver.object_;
  if (object->DriverUnload != nullptr) {
    object->DriverUnload(object);
  } else {
    s.report("UNLOAD_WITHOUT_ROUTINE", "driver " + driver.name_ + " has no DriverUnload; dropping it anyway");
  }
  dropDriver(driver);
}

void Machine::dropDriver(Driver& driver) {
  auto& s = *state_;
  PDRIVER_OBJECT object = driver.object_;
  for (PDEVICE_OBJECT device = object->DeviceObject; device != nullptr; device = device->NextDevice) {
    s.report("DEVICE_LEFT_AT_UNLOAD", deviceName(device) + " of driver " + driver.name_ + " still exists at unload");
  }
  {
    std::vector<std::string> leaks;
    {
      std::lock_guard lock(s.poolMutex);
      for (auto& [block, info] : s.pool) {
        if (info.owner != &driver) continue;
        char tag[5] = {static_cast<char>(info.tag), static_cast<char>(info.tag >> 8),
                       static_cast<char>(info.tag >> 16), static_cast<char>(info.tag >> 24), 0};
        leaks.push_back("block " + hex(reinterpret_cast<uintptr_t>(block)) + " of " + std::to_string(info.size) +
                        " bytes, tag '" + tag + "'");
        info.owner = nullptr;
      }
    }
    for (auto& leak : leaks) {
      s.report("POOL_LEAK", "driver " + driver.name_ + " unloaded with " + leak + " still allocated (0xC4/0x62)");
    }
  }
  dlclose(driver.handle_);
  driver.handle_ = nullptr;
  driver.imageBegin_ = driver.imageEnd_ = 0;
  std::error_code ignored;
  fs::remove(driver.copyPath_, ignored);
  // Devices it left behind keep pointing at the driver object: keep it.
  if (object->DeviceObject == nullptr) {
    delete object->DriverExtension;
    delete object;
    driver.object_ = nullptr;
  }
}

}  // namespace ntsim
