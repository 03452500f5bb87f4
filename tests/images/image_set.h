// Where the image tests find what `make images` staged, per architecture,
// and what they expect of each architecture.
#pragma once

#include <cstdint>
#include <filesystem>
#include <ostream>
#include <optional>
#include <string>
#include <vector>

namespace pdkit::images {

struct Arch {
    std::string name;          // directory under build/images: "i686", "x86_64"
    std::uint16_t machine;     // COFF machine
    std::string entry_symbol;  // DriverEntry as the linker map names it
    std::uint64_t remove_lock_size;  // sizeof(IO_REMOVE_LOCK) in a free build
    std::string objdump;       // path of the architecture's objdump, or empty
};

const std::vector<Arch>& architectures();
void PrintTo(const Arch& arch, std::ostream* out);

struct Driver {
    std::string name;        // image name without .sys
    std::string source_dir;  // relative to the source root
    bool fixture = false;    // staged under test-fixtures/
};

// The three drivers and the pipeline's fixture driver.
const std::vector<Driver>& drivers();

std::filesystem::path source_root();
std::filesystem::path images_root();  // build/images
std::filesystem::path arch_dir(const Arch& arch);

// Why the tests of this architecture cannot run (no images built), or nullopt.
std::optional<std::string> why_not_built(const Arch& arch);

// Path of a staged driver image; `skip` says why a test should skip when
// the image is legitimately absent, `failure` why its absence is a fault.
struct Located {
    std::filesystem::path path;
    std::string skip;
    std::string failure;
};
Located locate(const Arch& arch, const Driver& driver);

}  // namespace pdkit::images
