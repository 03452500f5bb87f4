// The loader: a driver module is mapped from its own in-memory copy
// (module.h), so that every load has fresh globals and modules loaded side
// by side share nothing; a ModuleImage maps one copy for many loads and puts
// its writable bytes back before each.
#include "bus.h"
#include "irp.h"
#include "module.h"
#include "objects.h"
#include "state.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace ntsim {

namespace {

namespace fs = std::filesystem;

struct Segments {
  const std::string* name;
  uintptr_t begin = UINTPTR_MAX;
  uintptr_t end = 0;
  std::vector<std::span<std::byte>> writable;
};

uintptr_t pageDown(uintptr_t address) {
  static const auto page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
  return address & ~(page - 1);
}

// Appends [begin, end) minus the part the dynamic loader made read-only after relocation.
void addWritable(Segments& segments, uintptr_t begin, uintptr_t end, uintptr_t roBegin, uintptr_t roEnd) {
  auto add = [&](uintptr_t from, uintptr_t to) {
    if (from < to) segments.writable.emplace_back(reinterpret_cast<std::byte*>(from), to - from);
  };
  add(begin, std::min(end, roBegin));
  add(std::max(begin, roEnd), end);
}

int findSegments(struct dl_phdr_info* info, size_t, void* data) {
  auto* segments = static_cast<Segments*>(data);
  if (info->dlpi_name == nullptr || *segments->name != info->dlpi_name) return 0;
  // glibc protects the RELRO range from its first page to the page its end falls in.
  uintptr_t roBegin = UINTPTR_MAX, roEnd = UINTPTR_MAX;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const auto& header = info->dlpi_phdr[i];
    if (header.p_type != PT_GNU_RELRO) continue;
    roBegin = pageDown(info->dlpi_addr + header.p_vaddr);
    roEnd = pageDown(info->dlpi_addr + header.p_vaddr + header.p_memsz);
  }
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const auto& header = info->dlpi_phdr[i];
    if (header.p_type != PT_LOAD) continue;
    uintptr_t begin = info->dlpi_addr + header.p_vaddr;
    segments->begin = std::min(segments->begin, begin);
    segments->end = std::max(segments->end, begin + header.p_memsz);
    if ((header.p_flags & PF_W) != 0) addWritable(*segments, begin, begin + header.p_memsz, roBegin, roEnd);
  }
  return 1;
}

// Copies bytes of a module's image without the sanitizers' checks: the
// writable segments hold the redzones AddressSanitizer puts between globals.
// The volatile accesses keep the compiler from making this a memcpy call,
// which the sanitizers intercept. Nor is it a fuzzer's news (coverage).
#if defined(__clang__)
#define NTSIM_UNCHECKED __attribute__((no_sanitize("address", "thread", "coverage")))
#else
#define NTSIM_UNCHECKED __attribute__((no_sanitize("address", "thread")))
#endif
NTSIM_UNCHECKED void copyRaw(std::byte* to, const std::byte* from, size_t size) {
  volatile std::byte* out = to;
  const volatile std::byte* in = from;
  size_t i = 0;
  for (; i < size && (reinterpret_cast<uintptr_t>(out + i) & 7) != 0; ++i) out[i] = in[i];
  if ((reinterpret_cast<uintptr_t>(in + i) & 7) == 0) {
    for (; i + 8 <= size; i += 8) {
      *reinterpret_cast<volatile uint64_t*>(out + i) = *reinterpret_cast<const volatile uint64_t*>(in + i);
    }
  }
  for (; i < size; ++i) out[i] = in[i];
}

std::string systemError(const char* what, const std::string& path) {
  return std::string(what) + " " + path + ": " + std::strerror(errno);
}

// The module file's bytes in a new anonymous memory file; a signal (a
// profiler's or a fuzzer's timer) interrupting a read or write is retried.
int copyToMemory(const std::string& path) {
  int in = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) throw std::runtime_error(systemError("cannot read driver module", path));
  int out = ::memfd_create(fs::path(path).filename().c_str(), MFD_CLOEXEC);
  if (out < 0) {
    ::close(in);
    throw std::runtime_error(systemError("cannot make an in-memory copy of driver module", path));
  }
  char buffer[1 << 16];
  while (true) {
    ssize_t got = ::read(in, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      if (got == 0) break;
      std::string why = systemError("cannot read driver module", path);
      ::close(in);
      ::close(out);
      throw std::runtime_error(why);
    }
    for (ssize_t done = 0; done < got;) {
      ssize_t put = ::write(out, buffer + done, static_cast<size_t>(got - done));
      if (put < 0 && errno == EINTR) continue;
      if (put < 0) {
        std::string why = systemError("cannot copy driver module", path);
        ::close(in);
        ::close(out);
        throw std::runtime_error(why);
      }
      done += put;
    }
  }
  ::close(in);
  return out;
}

// dlerror() names what was opened; the reader knows the module by its own path.
std::string namedAs(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

}  // namespace

ModuleFile::ModuleFile(const std::string& path)
    : fd_(copyToMemory(path)), name_("/proc/" + std::to_string(::getpid()) + "/fd/" + std::to_string(fd_)) {}

ModuleFile::~ModuleFile() {
  if (!pinned_) ::close(fd_);
}

Module::Module(const std::string& path) : Module(path, std::make_shared<ModuleFile>(path)) {}

Module::Module(const std::string& path, std::shared_ptr<ModuleFile> file) : file_(std::move(file)) {
  const std::string& mappedName = file_->name();
  handle_ = dlopen(mappedName.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    std::string why = namedAs(dlerror(), mappedName, path);
    // The message names the module already: the linker's reason follows it once.
    if (why.starts_with(path + ": ")) why.erase(0, path.size() + 2);
    throw std::runtime_error("cannot load driver module " + path + ": " + why +
                             "; a driver module is a shared object built against ntsim's headers "
                             "(see docs/DRIVER-MODULES.md)");
  }
  Segments segments{&mappedName, UINTPTR_MAX, 0, {}};
  dl_iterate_phdr(findSegments, &segments);
  begin_ = segments.begin;
  end_ = segments.end;
  writable_ = std::move(segments.writable);
}

Module::~Module() {
  dlclose(handle_);
  Segments still{&file_->name(), UINTPTR_MAX, 0, {}};
  if (dl_iterate_phdr(findSegments, &still) != 0) file_->pin();
}

void* Module::symbol(const char* name) const { return dlsym(handle_, name); }

void Module::snapshot() {
  size_t total = 0;
  for (auto range : writable_) total += range.size();
  saved_.resize(total);
  size_t at = 0;
  for (auto range : writable_) {
    copyRaw(saved_.data() + at, range.data(), range.size());
    at += range.size();
  }
}

void Module::restore() {
  size_t at = 0;
  for (auto range : writable_) {
    copyRaw(range.data(), saved_.data() + at, range.size());
    at += range.size();
  }
}

ModuleImage::ModuleImage(const std::string& path) : path_(path) {
  if (!fs::exists(path)) {
    throw std::runtime_error("driver module " + path + " does not exist; build it first (make) or check the path");
  }
  module_ = std::make_shared<Module>(path);
  module_->snapshot();
}

ModuleImage::~ModuleImage() = default;

Module& ModuleImage::mapping() const {
  if (module_ == nullptr) throw std::logic_error("module image " + path_ + " is not mapped: its last remap failed");
  return *module_;
}

std::vector<std::span<std::byte>> ModuleImage::writableBytes() const { return mapping().writable(); }

// The copy is mapped again once its mapping is gone; a copy something still
// maps, or the dynamic loader pinned, gives way to a new copy of the file.
// Should that mapping fail, the image is left without one.
void ModuleImage::remap() {
  if (mapping().inUse) throw std::logic_error("module image " + path_ + " is remapped while a driver runs from it");
  std::shared_ptr<ModuleFile> file = module_->file();
  const bool shared = module_.use_count() > 1;
  module_.reset();
  if (shared || file->pinned()) file = std::make_shared<ModuleFile>(path_);
  module_ = std::make_shared<Module>(path_, std::move(file));
  module_->snapshot();
}

void ModuleImage::reset() {
  if (mapping().inUse) throw std::logic_error("module image " + path_ + " is reset while a driver runs from it");
  module_->restore();
}

}  // namespace ntsim

namespace ntsim {

void* Driver::symbol(const char* name) const { return handle_ != nullptr ? dlsym(handle_, name) : nullptr; }

Driver& Machine::load(const std::string& path) {
  if (!fs::exists(path)) {
    throw std::runtime_error("driver module " + path + " does not exist; build it first (make) or check the path");
  }
  return start(std::make_shared<Module>(path), path);
}

Driver& Machine::load(ModuleImage& image) {
  if (image.mapping().inUse) {
    throw std::logic_error("module image " + image.path_ + " is already loaded; unload its driver first");
  }
  image.reset();
  return start(image.module_, image.path_);
}

Driver& Machine::start(std::shared_ptr<Module> module, const std::string& path) {
  auto& s = *state_;
  auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(module->symbol("DriverEntry"));
  if (entry == nullptr) {
    throw std::runtime_error("driver module " + path +
                             " has no DriverEntry; export extern \"C\" NTSTATUS DriverEntry(PDRIVER_OBJECT, "
                             "PUNICODE_STRING)");
  }
  auto driver = std::make_unique<Driver>();
  driver->path_ = path;
  driver->name_ = fs::path(path).stem().string();
  driver->handle_ = module->handle();
  driver->imageBegin_ = module->begin();
  driver->imageEnd_ = module->end();
  module->inUse = true;
  driver->module_ = std::move(module);
  // The version the module is built for: its own export, not one of a library it links.
  auto* declared = static_cast<const ULONG*>(dlsym(driver->handle_, "NtsimModuleNtddiVersion"));
  auto declaredAt = reinterpret_cast<uintptr_t>(declared);
  if (declared != nullptr && declaredAt >= driver->imageBegin_ && declaredAt < driver->imageEnd_) {
    driver->ntddiVersion_ = *declared;
  }

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
  NTSTATUS status = entry(object, prepareDriverObject(s, object, result.name_));
  if (!NT_SUCCESS(status)) {
    // A driver whose DriverEntry fails is not loaded, and its Unload routine is not called.
    dropDriver(result);
    throw std::runtime_error("DriverEntry of " + path + " failed with " + statusName(status));
  }
  finishDriverEntry(s, object);
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
  checkPendingOperations(s, driver);
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
        char tag[5] = {static_cast<char>(info.tag), static_cast<char>(info.tag >> 8), static_cast<char>(info.tag >> 16),
                       static_cast<char>(info.tag >> 24), 0};
        leaks.push_back("block " + hex(reinterpret_cast<uintptr_t>(block)) + " of " + std::to_string(info.size) +
                        " bytes, tag '" + tag + "'");
        info.owner = nullptr;
      }
    }
    for (auto& leak : leaks) {
      s.report("POOL_LEAK", "driver " + driver.name_ + " unloaded with " + leak + " still allocated (0xC4/0x62)");
    }
  }
  driver.module_->inUse = false;
  driver.module_.reset();  // unmapped unless a ModuleImage keeps it
  driver.handle_ = nullptr;
  driver.imageBegin_ = driver.imageEnd_ = 0;
  // Devices it left behind keep pointing at the driver object: keep it.
  if (object->DeviceObject == nullptr) {
    delete object->DriverExtension;
    delete object;
    driver.object_ = nullptr;
  }
}

}  // namespace ntsim
