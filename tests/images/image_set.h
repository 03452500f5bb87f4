// Where the image tests find what `make images` staged, per architecture.
// (The driver images themselves are read by driver_images_test.py.)
#pragma once

#include <cstdint>
#include <filesystem>
#include <ostream>
#include <optional>
#include <string>
#include <vector>

namespace pdkit::images {

struct Arch {
  std::string name;       // directory under build/images: "i686", "x86_64"
  std::uint16_t machine;  // COFF machine
};

const std::vector<Arch>& architectures();
void PrintTo(const Arch& arch, std::ostream* out);

std::filesystem::path source_root();
std::filesystem::path images_root();  // build/images
std::filesystem::path arch_dir(const Arch& arch);

// Why the tests of this architecture cannot run (no images built), or nullopt.
std::optional<std::string> why_not_built(const Arch& arch);

}  // namespace pdkit::images
