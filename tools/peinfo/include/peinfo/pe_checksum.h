// The PE image checksum (optional header CheckSum), as the loader and
// CheckSumMappedFile compute it: the 16-bit one's-complement-style sum of
// the file with the CheckSum field taken as zero, plus the file length.
// The kernel refuses boot drivers whose stored checksum is wrong.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace peinfo {

std::uint32_t compute_pe_checksum(std::span<const std::uint8_t> file, std::size_t checksum_offset);

}  // namespace peinfo
