// The text report `peinfo` prints for one image.
#pragma once

#include <filesystem>
#include <iosfwd>
#include <optional>

namespace peinfo {

struct ReportOptions {
    std::optional<std::filesystem::path> map;      // linker map of the image
    std::optional<std::filesystem::path> objdump;  // to trace remove-lock calls
};

// Prints everything peinfo knows about the image at `path`. Throws
// FormatError when the file is not a readable PE image.
void print_report(std::ostream& out, const std::filesystem::path& path, const ReportOptions& options);

}  // namespace peinfo
