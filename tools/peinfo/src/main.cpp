// peinfo: prints what a Windows PE image really contains.
//
//   peinfo [--map FILE] [--objdump PROGRAM] IMAGE...
//   peinfo --fix-checksum IMAGE...
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "peinfo/format_error.h"
#include "peinfo/hex.h"
#include "peinfo/pe_checksum.h"
#include "report.h"

namespace {

constexpr const char* usage =
    "usage: peinfo [--map FILE] [--objdump PROGRAM] IMAGE...\n"
    "       peinfo --fix-checksum IMAGE...\n"
    "\n"
    "Prints an image's machine, subsystem, entry point, checksum, sections,\n"
    "imports, relocations, signature and version resource.\n"
    "  --map FILE         the image's GNU ld map, to name the entry point and count\n"
    "                     global constructors (default: IMAGE's name with .map, if present)\n"
    "  --objdump PROGRAM  also trace the size argument of remove-lock calls, using\n"
    "                     PROGRAM to disassemble (e.g. i686-w64-mingw32-objdump)\n"
    "  --fix-checksum     store the correct PE checksum in each IMAGE\n";

}  // namespace

int main(int argc, char** argv)
{
    peinfo::ReportOptions options;
    bool fix_checksum = false;
    std::vector<std::filesystem::path> images;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::cerr << "peinfo: " << arg << " needs a value\n" << usage;
                std::exit(2);
            }
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            std::cout << usage;
            return 0;
        } else if (arg == "--map") {
            options.map = value();
        } else if (arg == "--objdump") {
            options.objdump = value();
        } else if (arg == "--fix-checksum") {
            fix_checksum = true;
        } else if (arg.starts_with("-")) {
            std::cerr << "peinfo: unknown option " << arg << "\n" << usage;
            return 2;
        } else {
            images.emplace_back(arg);
        }
    }
    if (images.empty()) {
        std::cerr << "peinfo: no image given\n" << usage;
        return 2;
    }
    if (options.map && images.size() > 1) {
        std::cerr << "peinfo: --map applies to one image; give one image with it\n";
        return 2;
    }

    int status = 0;
    for (const auto& image : images) {
        try {
            if (fix_checksum) {
                std::cout << image.string() << ": checksum " << peinfo::hex(peinfo::write_pe_checksum(image), 8)
                          << "\n";
                continue;
            }
            peinfo::ReportOptions these = options;
            if (!these.map) {
                auto map = image;
                map.replace_extension(".map");
                if (std::filesystem::exists(map)) these.map = map;
            }
            if (images.size() > 1) std::cout << (&image == &images.front() ? "" : "\n");
            peinfo::print_report(std::cout, image, these);
        } catch (const std::exception& e) {
            std::cerr << "peinfo: " << e.what() << "\n";
            status = 1;
        }
    }
    return status;
}
