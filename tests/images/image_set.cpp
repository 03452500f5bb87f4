#include "image_set.h"

#include "peinfo/pe_image.h"

namespace pdkit::images {

const std::vector<Arch>& architectures() {
  static const std::vector<Arch> all = {
      {"i686", peinfo::machine::i386},
      {"x86_64", peinfo::machine::amd64},
  };
  return all;
}

void PrintTo(const Arch& arch, std::ostream* out) { *out << arch.name; }

std::filesystem::path source_root() { return PDKIT_SOURCE_DIR; }

std::filesystem::path images_root() { return PDKIT_IMAGES_DIR; }

std::filesystem::path arch_dir(const Arch& arch) { return images_root() / arch.name; }

std::optional<std::string> why_not_built(const Arch& arch) {
  if (!std::filesystem::is_directory(arch_dir(arch))) {
    return "no " + arch.name + " images in " + arch_dir(arch).string() +
           ": run `make images` first (needs the mingw-w64 cross compilers)";
  }
  return std::nullopt;
}

}  // namespace pdkit::images
