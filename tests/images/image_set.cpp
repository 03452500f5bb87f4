#include "image_set.h"

#include "peinfo/pe_image.h"

namespace pdkit::images {

const std::vector<Arch>& architectures()
{
    static const std::vector<Arch> all = {
        {"i686", peinfo::machine::i386, "DriverEntry@8", 0x18, PDKIT_OBJDUMP_I686},
        {"x86_64", peinfo::machine::amd64, "DriverEntry", 0x20, PDKIT_OBJDUMP_X86_64},
    };
    return all;
}

void PrintTo(const Arch& arch, std::ostream* out) { *out << arch.name; }

const std::vector<Driver>& drivers()
{
    static const std::vector<Driver> all = {
        {"tavrin", "directio_pw", false},
        {"kelvane", "bufferedio_pw", false},
        {"ostrel", "ioctl_pw", false},
        {"imgfixture", "tools/peinfo/fixture", true},
    };
    return all;
}

std::filesystem::path source_root() { return PDKIT_SOURCE_DIR; }

std::filesystem::path images_root() { return PDKIT_IMAGES_DIR; }

std::filesystem::path arch_dir(const Arch& arch) { return images_root() / arch.name; }

std::optional<std::string> why_not_built(const Arch& arch)
{
    if (!std::filesystem::is_directory(arch_dir(arch))) {
        return "no " + arch.name + " images in " + arch_dir(arch).string() +
               ": run `make images` first (needs the mingw-w64 cross compilers)";
    }
    return std::nullopt;
}

Located locate(const Arch& arch, const Driver& driver)
{
    Located where;
    const auto dir = driver.fixture ? arch_dir(arch) / "test-fixtures" : arch_dir(arch);
    where.path = dir / (driver.name + ".sys");
    if (auto why = why_not_built(arch)) {
        where.skip = *why;
    } else if (!std::filesystem::exists(where.path)) {
        if (std::filesystem::exists(source_root() / driver.source_dir / "CMakeLists.txt")) {
            where.failure = where.path.string() + " is missing although " + arch.name +
                            " images were built and its sources exist: run `cmake --preset mingw-" + arch.name +
                            "` (a build tree configured before the sources existed does not build them), "
                            "then `make images`";
        } else {
            where.skip = driver.name + " has no sources yet (" + driver.source_dir + "/CMakeLists.txt)";
        }
    }
    return where;
}

}  // namespace pdkit::images
