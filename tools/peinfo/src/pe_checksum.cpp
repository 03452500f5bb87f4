#include "peinfo/pe_checksum.h"

namespace peinfo {

std::uint32_t compute_pe_checksum(std::span<const std::uint8_t> file, std::size_t checksum_offset) {
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

}  // namespace peinfo
