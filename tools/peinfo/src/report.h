// The text report `peinfo` prints for one image.
#pragma once

#include <filesystem>
#include <iosfwd>

namespace peinfo {

// Prints everything peinfo knows about the image at `path`. Throws
// FormatError when the file is not a readable PE image.
void print_report(std::ostream& out, const std::filesystem::path& path);

}  // namespace peinfo
