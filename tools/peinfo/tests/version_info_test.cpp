#include "peinfo/version_info.h"

#include <gtest/gtest.h>

#include "peinfo/format_error.h"
#include "peinfo/pe_image.h"
#include "pe_builder.h"

namespace peinfo {
namespace {

using test::Bytes;
using test::VersionNode;

Bytes translation(std::uint16_t language, std::uint16_t code_page) {
  Bytes b;
  test::append16(b, language);
  test::append16(b, code_page);
  return b;
}

VersionNode sample_root() {
  VersionNode root = VersionNode::binary(
      u"VS_VERSION_INFO", test::fixed_file_info(0x00010000, 0x00000001, 0x00010000, 0x00000001, 0x00040004, 1));
  root.children.push_back(VersionNode::block(
      u"StringFileInfo", {VersionNode::block(u"040404b0", {VersionNode::text(u"CompanyName", u"pdkit developers"),
                                                           VersionNode::text(u"FileVersion", u"1, 0, 0, 1"),
                                                           VersionNode::text(u"OriginalFilename", u"tavrin.sys"),
                                                           VersionNode::text(u"Comments", u"\u53f0\u7063")})}));
  root.children.push_back(
      VersionNode::block(u"VarFileInfo", {VersionNode::binary(u"Translation", translation(0x0404, 0x04b0))}));
  return root;
}

TEST(VersionInfo, ReadsFixedInfoStringsAndTranslations) {
  const VersionInfo info = parse_version_info(sample_root().serialise(), "sample");
  EXPECT_EQ(info.fixed.signature, fixed_file_info_signature);
  EXPECT_EQ(version_text(info.fixed.file_version_ms, info.fixed.file_version_ls), "1.0.0.1");
  EXPECT_EQ(version_text(info.fixed.product_version_ms, info.fixed.product_version_ls), "1.0.0.1");
  EXPECT_EQ(info.fixed.file_os, 0x00040004u);
  EXPECT_EQ(info.fixed.file_type, 1u);
  ASSERT_EQ(info.string_tables.size(), 1u);
  const StringTable& table = info.string_tables[0];
  EXPECT_EQ(table.key, "040404b0");
  ASSERT_EQ(table.strings.size(), 4u);
  ASSERT_NE(table.find("OriginalFilename"), nullptr);
  EXPECT_EQ(*table.find("OriginalFilename"), "tavrin.sys");
  EXPECT_EQ(*table.find("FileVersion"), "1, 0, 0, 1");
  EXPECT_EQ(*table.find("Comments"), "\xe5\x8f\xb0\xe7\x81\xa3");  // UTF-8 of U+53F0 U+7063
  EXPECT_EQ(table.find("ProductName"), nullptr);
  ASSERT_EQ(info.translations.size(), 1u);
  EXPECT_EQ(info.translations[0], (Translation{0x0404, 0x04b0}));
}

TEST(VersionInfo, AcceptsStringLengthsCountedInBytes) {
  // Some resource compilers store wValueLength of strings in bytes.
  VersionNode root = sample_root();
  for (auto& s : root.children[0].children[0].children) {
    s.value_length = static_cast<std::uint16_t>(s.value.size());
  }
  // A byte count over-states the text: only well-formed nodes keep it in bounds.
  root.children[0].children[0].children.resize(1);
  root.children[0].children[0].children[0].value.resize(root.children[0].children[0].children[0].value.size() * 2);
  const VersionInfo info = parse_version_info(root.serialise(), "sample");
  EXPECT_EQ(*info.string_tables[0].find("CompanyName"), "pdkit developers");
}

TEST(VersionInfo, RejectsAWrongRootKey) {
  VersionNode root = sample_root();
  root.key = u"VS_VERSION_INFX";
  EXPECT_THROW(parse_version_info(root.serialise(), "sample"), FormatError);
}

TEST(VersionInfo, RejectsABadFixedInfoSignature) {
  VersionNode root = sample_root();
  root.value[0] ^= 0xff;
  EXPECT_THROW(parse_version_info(root.serialise(), "sample"), FormatError);
}

TEST(VersionInfo, RejectsAChildLongerThanItsParent) {
  Bytes bytes = sample_root().serialise();
  bytes.resize(bytes.size() - 8);
  test::put16(bytes, 0, static_cast<std::uint16_t>(bytes.size()));
  EXPECT_THROW(parse_version_info(bytes, "sample"), FormatError);
}

TEST(VersionInfo, ReadsTheResourceOfAnImage) {
  test::PeBuilder b(machine::i386);
  b.add_section(".text", 0x60000020, Bytes(0x10, 0));
  b.add_resources({{resource_type::version, 1, 0x0404, sample_root().serialise()}});
  const PeImage image(b.build(), "versioned.sys");
  const auto info = read_version_info(image);
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->resource_language, 0x0404);
  EXPECT_EQ(*info->string_tables.at(0).find("OriginalFilename"), "tavrin.sys");
}

TEST(VersionInfo, AnImageWithoutOneHasNone) {
  test::PeBuilder b(machine::i386);
  b.add_section(".text", 0x60000020, Bytes(0x10, 0));
  EXPECT_FALSE(read_version_info(PeImage(b.build(), "plain.sys")).has_value());
}

}  // namespace
}  // namespace peinfo
