// peinfo: prints what a Windows PE image really contains.
//
//   peinfo IMAGE...
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "report.h"

namespace {

constexpr const char* usage =
    "usage: peinfo IMAGE...\n"
    "\n"
    "Prints an image's machine, subsystem, entry point, checksum, sections,\n"
    "imports, relocations, unwind data, signature and version resource.\n"
    "The symbols of the project's driver images are in the .pdb beside each\n"
    "(llvm-pdbutil dump -publics IMAGE.pdb).\n";

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::filesystem::path> images;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::cout << usage;
      return 0;
    }
    if (arg.starts_with("-")) {
      std::cerr << "peinfo: unknown option " << arg << "\n" << usage;
      return 2;
    }
    images.emplace_back(arg);
  }
  if (images.empty()) {
    std::cerr << "peinfo: no image given\n" << usage;
    return 2;
  }

  int status = 0;
  for (const auto& image : images) {
    try {
      if (images.size() > 1) std::cout << (&image == &images.front() ? "" : "\n");
      peinfo::print_report(std::cout, image);
    } catch (const std::exception& e) {
      std::cerr << "peinfo: " << e.what() << "\n";
      status = 1;
    }
  }
  return status;
}
