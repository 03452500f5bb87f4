#include "peinfo/pe_checksum.h"

#include <fstream>

#include "peinfo/format_error.h"
#include "peinfo/pe_image.h"

namespace peinfo {

std::uint32_t compute_pe_checksum(std::span<const std::uint8_t> file, std::size_t checksum_offset)
{
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < file.size(); i += 2) {
        std::uint32_t word = file[i];
        if (i + 1 < file.size()) {
            word |= static_cast<std::uint32_t>(file[i + 1]) << 8;
        }
        // The CheckSum field's two words count as zero.
        if (i >= checksum_offset && i < checksum_offset + 4) {
            word = 0;
        }
        sum += word;
        sum = (sum & 0xffff) + (sum >> 16);
    }
    sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<std::uint32_t>(sum + file.size());
}

std::uint32_t write_pe_checksum(const std::filesystem::path& path)
{
    const PeImage image = PeImage::load(path);
    const std::uint32_t checksum = compute_pe_checksum(image.bytes(), image.checksum_offset());
    std::fstream out(path, std::ios::binary | std::ios::in | std::ios::out);
    if (!out) {
        throw FormatError(path.string() + ": cannot open the file for writing the checksum");
    }
    const char field[4] = {static_cast<char>(checksum & 0xff), static_cast<char>((checksum >> 8) & 0xff),
                           static_cast<char>((checksum >> 16) & 0xff),
                           static_cast<char>((checksum >> 24) & 0xff)};
    out.seekp(static_cast<std::streamoff>(image.checksum_offset()));
    out.write(field, sizeof field);
    if (!out.flush()) {
        throw FormatError(path.string() + ": writing the checksum failed");
    }
    return checksum;
}

}  // namespace peinfo
