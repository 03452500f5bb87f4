#include "peinfo/pe_checksum.h"

#include <gtest/gtest.h>

#include "pe_builder.h"

namespace peinfo {
namespace {

using test::Bytes;

TEST(PeChecksum, AddsWordsWithEndAroundCarryAndTheLength) {
  // 0x0001 + 0xffff = 0x10000, folded to 0x0001; + 0x0002 = 3; + 6 bytes = 9.
  const Bytes bytes{0x01, 0x00, 0xff, 0xff, 0x02, 0x00};
  EXPECT_EQ(compute_pe_checksum(bytes, 100), 9u);
}

TEST(PeChecksum, CountsATrailingOddByteAsALowByte) {
  const Bytes bytes{0x10, 0x00, 0x05};
  EXPECT_EQ(compute_pe_checksum(bytes, 100), 0x10u + 0x05u + 3u);
}

TEST(PeChecksum, IgnoresTheCheckSumFieldItself) {
  Bytes bytes(16, 0x11);
  const auto before = compute_pe_checksum(bytes, 4);
  test::put32(bytes, 4, 0xdeadbeef);
  EXPECT_EQ(compute_pe_checksum(bytes, 4), before);
  bytes[9] ^= 1;
  EXPECT_NE(compute_pe_checksum(bytes, 4), before);
}

}  // namespace
}  // namespace peinfo
