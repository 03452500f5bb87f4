// Memory: the resident memory one loaded, started and opened driver adds to
// the process on ntsim, next to what the driver itself asks for (its loaded
// module's segments, its device object and extension, and its pool); and the sizes of the .sys images,
// next to the bytes of their sections' content.
#include "benchmarks.h"
#include "booted_driver.h"

#include "sharefiles/common.h"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace pdbench {
namespace {

namespace fs = std::filesystem;

// Resident bytes of the process, from /proc/self/statm.
double residentBytes() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE));
}

// A file's bytes, little-endian fields read by offset (0 past the end).
class FileBytes {
 public:
  explicit FileBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    bytes_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  size_t size() const { return bytes_.size(); }
  uint64_t at(size_t offset, size_t width) const {
    uint64_t value = 0;
    for (size_t i = 0; i < width && offset + i < bytes_.size(); ++i) {
      value |= static_cast<uint64_t>(static_cast<uint8_t>(bytes_[offset + i])) << (8 * i);
    }
    return value;
  }

 private:
  std::vector<char> bytes_;
};

// The bytes a 64-bit ELF module occupies once loaded: the sum of its loadable segments.
double loadedModuleBytes(const fs::path& module) {
  FileBytes elf(module);
  if (elf.size() < 64 || elf.at(0, 4) != 0x464C457F || elf.at(4, 1) != 2) return 0;  // "\x7fELF", 64-bit
  size_t table = elf.at(0x20, 8);
  size_t entrySize = elf.at(0x36, 2);
  size_t entries = elf.at(0x38, 2);
  double loaded = 0;
  for (size_t i = 0; i < entries; ++i) {
    size_t entry = table + i * entrySize;
    if (elf.at(entry, 4) == 1) loaded += static_cast<double>(elf.at(entry + 0x28, 8));  // PT_LOAD: p_memsz
  }
  return loaded;
}

void residentDriver(benchmark::State& state, const DriverKind* kind) {
  ntsim::Machine machine;
  machine.setDebugCapture(false);
  {
    BootedDriver warmup(machine, *kind);  // the loader's and ntsim's one-time costs
  }
  double before = 0, after = 0;
  for (auto _ : state) {
    state.PauseTiming();
    before = residentBytes();
    {
      BootedDriver booted(machine, *kind);
      auto opened = machine.open(kind->device);
      after = residentBytes();
      machine.close(opened.handle);
    }
    state.ResumeTiming();
  }
  double own = loadedModuleBytes(modulePath(*kind)) + sizeof(DEVICE_OBJECT) + sizeof(DEVICE_EXTENSION) +
               sizeof(CAPABILITY_TABLE) + (kind->hasStore ? DATA_BUFFER_SIZE : 0);
  state.counters["resident_kib"] = (after - before) / 1024;
  state.counters["own_kib"] = own / 1024;
  state.counters["x_own"] = (after - before) / own;
}

// The bytes of a PE image's sections as loaded (the sum of their virtual sizes), or 0.
double sectionContentBytes(const fs::path& image) {
  FileBytes pe(image);
  if (pe.size() < 0x40 || pe.at(0, 2) != 0x5A4D) return 0;  // "MZ"
  size_t header = pe.at(0x3C, 4);
  if (pe.at(header, 4) != 0x4550) return 0;  // "PE\0\0"
  size_t sections = pe.at(header + 6, 2);
  size_t table = header + 24 + pe.at(header + 20, 2);
  double content = 0;
  for (size_t i = 0; i < sections; ++i) content += static_cast<double>(pe.at(table + i * 40 + 8, 4));  // VirtualSize
  return content;
}

void imageSize(benchmark::State& state, fs::path image) {
  for (auto _ : state) benchmark::DoNotOptimize(fs::file_size(image));
  double size = static_cast<double>(fs::file_size(image));
  double content = sectionContentBytes(image);
  state.counters["image_bytes"] = size;
  state.counters["content_bytes"] = content;
  state.counters["x_content"] = content > 0 ? size / content : 0;
}

}  // namespace

void registerMemoryBenchmarks() {
  for (const DriverKind* kind : kDrivers) {
    std::string name = std::string("Resident/") + kind->module;
    benchmark::RegisterBenchmark(name.c_str(), residentDriver, kind)->Iterations(1);
  }
  // Images exist when the cross compilers built them (make images).
  for (const char* arch : {"i686", "x86_64"}) {
    fs::path folder = fs::path(PDBENCH_SOURCE_ROOT) / "build" / "images" / arch;
    std::error_code error;
    if (!fs::is_directory(folder, error)) continue;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
      if (entry.path().extension() != ".sys") continue;
      std::string name = std::string("Image/") + arch + "/" + entry.path().filename().string();
      benchmark::RegisterBenchmark(name.c_str(), imageSize, entry.path())->Iterations(1);
    }
  }
}

}  // namespace pdbench
