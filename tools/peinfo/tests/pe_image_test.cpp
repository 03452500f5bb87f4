#include "peinfo/pe_image.h"

#include <gtest/gtest.h>

#include "peinfo/format_error.h"
#include "pe_builder.h"

namespace peinfo {
namespace {

using test::Bytes;
using test::PeBuilder;

constexpr std::uint32_t text_flags = 0x60000020;   // code, execute, read
constexpr std::uint32_t data_flags = 0xc0000040;   // initialised data, read, write
constexpr std::uint32_t rdata_flags = 0x40000040;  // initialised data, read

PeImage parse(const Bytes& bytes) { return PeImage(bytes, "test.sys"); }

TEST(PeImage, ReadsTheHeadersOfAnI386Image) {
  PeBuilder b(machine::i386);
  const auto text = b.add_section(".text", text_flags, Bytes(0x30, 0xc3));
  b.add_section(".data", data_flags, Bytes(0x10, 0));
  b.subsystem(subsystem::native).dll_characteristics(dll_flags::dynamic_base | dll_flags::nx_compat);
  b.entry_point(text + 0x10);
  const PeImage image = parse(b.build());

  EXPECT_EQ(image.machine(), machine::i386);
  EXPECT_FALSE(image.is_pe32_plus());
  EXPECT_EQ(image.pointer_size(), 4u);
  EXPECT_EQ(image.subsystem(), subsystem::native);
  EXPECT_EQ(image.entry_point_rva(), text + 0x10);
  EXPECT_EQ(image.image_base(), 0x10000u);
  EXPECT_EQ(image.dll_characteristics(), dll_flags::dynamic_base | dll_flags::nx_compat);
  EXPECT_EQ(image.subsystem_version_major(), 5);
  EXPECT_EQ(image.subsystem_version_minor(), 1);
  ASSERT_EQ(image.sections().size(), 2u);
  EXPECT_EQ(image.sections()[0].name, ".text");
  EXPECT_EQ(section_access(image.sections()[0]), "r-x");
  EXPECT_EQ(section_access(image.sections()[1]), "rw-");
  EXPECT_EQ(image.section_at(text + 0x2f), &image.sections()[0]);
  EXPECT_EQ(image.section_at(0x500), nullptr);
  EXPECT_EQ(image.at_rva(text, 2, "code")[0], 0xc3);
}

TEST(PeImage, ReadsThe64BitOptionalHeader) {
  PeBuilder b(machine::amd64);
  const auto text = b.add_section(".text", text_flags, Bytes(0x10, 0x90));
  b.entry_point(text).subsystem(subsystem::windows_cui);
  const PeImage image = parse(b.build());
  EXPECT_EQ(image.machine(), machine::amd64);
  EXPECT_TRUE(image.is_pe32_plus());
  EXPECT_EQ(image.pointer_size(), 8u);
  EXPECT_EQ(image.image_base(), 0x140000000ULL);
  EXPECT_EQ(image.subsystem(), subsystem::windows_cui);
  EXPECT_EQ(image.entry_point_rva(), text);
}

TEST(PeImage, FlagsASectionThatIsWritableAndExecutable) {
  PeBuilder b(machine::i386);
  b.add_section(".text", text_flags | 0x80000000u, Bytes(4, 0));
  const PeImage image = parse(b.build());
  EXPECT_TRUE(image.sections()[0].writable());
  EXPECT_TRUE(image.sections()[0].executable());
  EXPECT_EQ(section_access(image.sections()[0]), "rwx");
}

TEST(PeImage, ListsEveryImportedRoutineWithItsAddressTableSlot) {
  for (std::uint16_t m : {machine::i386, machine::amd64}) {
    PeBuilder b(m);
    b.add_section(".text", text_flags, Bytes(0x10, 0x90));
    const auto slots = b.add_imports({{"ntoskrnl.exe", {"IoCreateDevice", "memcpy"}}, {"HAL.dll", {"#7"}}});
    const PeImage image = parse(b.build());
    const auto dlls = image.imports();
    ASSERT_EQ(dlls.size(), 2u);
    EXPECT_EQ(dlls[0].name, "ntoskrnl.exe");
    ASSERT_EQ(dlls[0].routines.size(), 2u);
    EXPECT_EQ(dlls[0].routines[0].name, "IoCreateDevice");
    EXPECT_EQ(dlls[0].routines[1].name, "memcpy");
    EXPECT_EQ(dlls[0].routines[1].hint, 1);
    EXPECT_EQ(dlls[0].routines[0].iat_address, slots.at("IoCreateDevice"));
    EXPECT_EQ(dlls[0].routines[1].iat_address, slots.at("memcpy"));
    EXPECT_EQ(dlls[1].name, "HAL.dll");
    ASSERT_EQ(dlls[1].routines.size(), 1u);
    EXPECT_TRUE(dlls[1].routines[0].name.empty());
    EXPECT_EQ(dlls[1].routines[0].ordinal, 7);
  }
}

TEST(PeImage, AnImageWithoutImportsHasNone) {
  PeBuilder b(machine::i386);
  b.add_section(".text", text_flags, Bytes(4, 0));
  EXPECT_TRUE(parse(b.build()).imports().empty());
}

TEST(PeImage, ReadsBaseRelocationsPerPage) {
  PeBuilder b(machine::i386);
  b.add_section(".text", text_flags, Bytes(0x2000, 0));
  b.add_relocations({{0x1004, reloc_type::highlow}, {0x1010, reloc_type::highlow}, {0x2ff8, reloc_type::highlow}});
  const auto relocs = parse(b.build()).relocations();
  // Two blocks; the second is padded with an ABSOLUTE entry.
  ASSERT_EQ(relocs.size(), 4u);
  EXPECT_EQ(relocs[0].rva, 0x1004u);
  EXPECT_EQ(relocs[0].type, reloc_type::highlow);
  EXPECT_EQ(relocs[1].rva, 0x1010u);
  EXPECT_EQ(relocs[2].rva, 0x2ff8u);
  EXPECT_EQ(relocs[3].type, reloc_type::absolute);
}

TEST(PeImage, RejectsARelocationBlockThatOverrunsTheTable) {
  PeBuilder b(machine::i386);
  b.add_section(".text", text_flags, Bytes(0x10, 0));
  Bytes table;
  test::append32(table, 0x1000);
  test::append32(table, 0x40);  // claims 64 bytes, the table has 12
  test::append16(table, 0x3004);
  test::append16(table, 0);
  const auto rva = b.add_section(".reloc", rdata_flags, table);
  b.directory(directory::base_relocations, rva, static_cast<std::uint32_t>(table.size()));
  const PeImage image = parse(b.build());
  EXPECT_THROW(image.relocations(), FormatError);
}

TEST(PeImage, ReadsTheCertificateTable) {
  PeBuilder b(machine::i386);
  b.add_section(".text", text_flags, Bytes(0x10, 0));
  b.add_certificate(0x0200, 0x0002, Bytes{0x30, 0x82, 0x01, 0x02, 0x03});
  const auto certificates = parse(b.build()).certificates();
  ASSERT_EQ(certificates.size(), 1u);
  EXPECT_EQ(certificates[0].revision, 0x0200);
  EXPECT_EQ(certificates[0].type, 0x0002);
  EXPECT_EQ(certificates[0].data, (Bytes{0x30, 0x82, 0x01, 0x02, 0x03}));
}

TEST(PeImage, AnUnsignedImageHasNoCertificates) {
  PeBuilder b(machine::i386);
  b.add_section(".text", text_flags, Bytes(0x10, 0));
  EXPECT_TRUE(parse(b.build()).certificates().empty());
}

TEST(PeImage, RejectsACertificateLongerThanItsTable) {
  PeBuilder b(machine::i386);
  b.add_section(".text", text_flags, Bytes(0x10, 0));
  b.add_certificate(0x0200, 0x0002, Bytes(8, 1));
  Bytes bytes = b.build();
  const std::size_t table = bytes.size() - 16;
  test::put32(bytes, table, 0x1000);
  EXPECT_THROW(parse(bytes).certificates(), FormatError);
}

TEST(PeImage, WalksTheResourceTree) {
  PeBuilder b(machine::i386);
  b.add_section(".text", text_flags, Bytes(0x10, 0));
  b.add_resources(
      {{resource_type::version, 1, 0x0404, Bytes{1, 2, 3, 4}}, {resource_type::manifest, 1, 0x0409, Bytes{5, 6}}});
  const PeImage image = parse(b.build());
  const auto resources = image.resources();
  ASSERT_EQ(resources.size(), 2u);
  EXPECT_EQ(resources[0].type_id, resource_type::version);
  EXPECT_EQ(resources[0].name_id, 1u);
  EXPECT_EQ(resources[0].language, 0x0404);
  ASSERT_EQ(resources[0].size, 4u);
  EXPECT_EQ(image.at_rva(resources[0].rva, 4, "data")[3], 4);
  EXPECT_EQ(resources[1].type_id, resource_type::manifest);
  EXPECT_EQ(resources[1].language, 0x0409);
}

TEST(PeImage, RejectsAFileThatIsNotAnImage) {
  try {
    parse(Bytes(0x200, 0x41));
    FAIL() << "a file of 'A's was accepted";
  } catch (const FormatError& e) {
    EXPECT_NE(std::string(e.what()).find("test.sys: not a PE image"), std::string::npos) << e.what();
  }
}

TEST(PeImage, RejectsATruncatedImageNamingTheField) {
  PeBuilder b(machine::i386);
  b.add_section(".text", text_flags, Bytes(0x400, 0x90));
  Bytes bytes = b.build();
  bytes.resize(0x500);  // the section's raw data ends at 0x800
  try {
    parse(bytes);
    FAIL() << "a truncated image was accepted";
  } catch (const FormatError& e) {
    EXPECT_NE(std::string(e.what()).find("raw data of section .text"), std::string::npos) << e.what();
  }
}

TEST(PeImage, RejectsAnUnknownOptionalHeader) {
  PeBuilder b(machine::i386);
  b.add_section(".text", text_flags, Bytes(4, 0));
  Bytes bytes = b.build();
  test::put16(bytes, 0x80 + 24, 0x0107);
  EXPECT_THROW(parse(bytes), FormatError);
}

TEST(PeImage, RefusesToReadOutsideTheSections) {
  PeBuilder b(machine::i386);
  const auto text = b.add_section(".text", text_flags, Bytes(0x10, 0), 0x2000);
  const PeImage image = parse(b.build());
  EXPECT_THROW(image.at_rva(text + 0x1000, 4, "zero-filled tail"), FormatError);
  EXPECT_THROW(image.at_rva(0x50000, 4, "nowhere"), FormatError);
}

TEST(PeImage, LoadNamesAMissingFile) {
  try {
    PeImage::load("/nonexistent/missing.sys");
    FAIL();
  } catch (const FormatError& e) {
    EXPECT_NE(std::string(e.what()).find("/nonexistent/missing.sys: cannot open"), std::string::npos);
  }
}

}  // namespace
}  // namespace peinfo
