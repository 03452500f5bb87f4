#include "peinfo/pe_checksum.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <unistd.h>

#include "peinfo/pe_image.h"
#include "pe_builder.h"

namespace peinfo {
namespace {

using test::Bytes;

TEST(PeChecksum, AddsWordsWithEndAroundCarryAndTheLength)
{
    // 0x0001 + 0xffff = 0x10000, folded to 0x0001; + 0x0002 = 3; + 6 bytes = 9.
    const Bytes bytes{0x01, 0x00, 0xff, 0xff, 0x02, 0x00};
    EXPECT_EQ(compute_pe_checksum(bytes, 100), 9u);
}

TEST(PeChecksum, CountsATrailingOddByteAsALowByte)
{
    const Bytes bytes{0x10, 0x00, 0x05};
    EXPECT_EQ(compute_pe_checksum(bytes, 100), 0x10u + 0x05u + 3u);
}

TEST(PeChecksum, IgnoresTheCheckSumFieldItself)
{
    Bytes bytes(16, 0x11);
    const auto before = compute_pe_checksum(bytes, 4);
    test::put32(bytes, 4, 0xdeadbeef);
    EXPECT_EQ(compute_pe_checksum(bytes, 4), before);
    bytes[9] ^= 1;
    EXPECT_NE(compute_pe_checksum(bytes, 4), before);
}

TEST(PeChecksum, WriteStoresTheValueTheImageThenVerifiesWith)
{
    test::PeBuilder b(machine::i386);
    b.add_section(".text", 0x60000020, Bytes(0x123, 0x5a));
    const Bytes bytes = b.build(false);
    const auto path = std::filesystem::temp_directory_path() / ("peinfo-checksum-" + std::to_string(getpid()) + ".sys");
    {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    ASSERT_EQ(PeImage::load(path).stored_checksum(), 0u);
    const auto written = write_pe_checksum(path);
    const PeImage image = PeImage::load(path);
    std::filesystem::remove(path);
    EXPECT_NE(written, 0u);
    EXPECT_EQ(image.stored_checksum(), written);
    EXPECT_EQ(compute_pe_checksum(image.bytes(), image.checksum_offset()), written);
    // The builder's independent computation agrees.
    EXPECT_EQ(PeImage(b.build(true), "built").stored_checksum(), written);
}

}  // namespace
}  // namespace peinfo
