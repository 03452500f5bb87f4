// The version resource (RT_VERSION, VS_VERSIONINFO) of an image: the fixed
// file information, the string tables of StringFileInfo and the
// translations of VarFileInfo.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace peinfo {

class PeImage;

inline constexpr std::uint32_t fixed_file_info_signature = 0xfeef04bd;

struct FixedFileInfo {
  std::uint32_t signature = 0;
  std::uint32_t struct_version = 0;
  std::uint32_t file_version_ms = 0;
  std::uint32_t file_version_ls = 0;
  std::uint32_t product_version_ms = 0;
  std::uint32_t product_version_ls = 0;
  std::uint32_t flags_mask = 0;
  std::uint32_t flags = 0;
  std::uint32_t file_os = 0;
  std::uint32_t file_type = 0;
  std::uint32_t file_subtype = 0;
  std::uint32_t date_ms = 0;
  std::uint32_t date_ls = 0;
};

// "1.0.0.1" from the two version words.
std::string version_text(std::uint32_t ms, std::uint32_t ls);

struct StringTable {
  std::string key;                                           // language and code page in hex, e.g. "040404b0"
  std::vector<std::pair<std::string, std::string>> strings;  // name, value (UTF-8)

  // The value of `name`, or nullptr.
  const std::string* find(std::string_view name) const;
};

struct Translation {
  std::uint16_t language = 0;
  std::uint16_t code_page = 0;
  friend bool operator==(const Translation&, const Translation&) = default;
};

struct VersionInfo {
  std::uint16_t resource_language = 0;  // language of the RT_VERSION resource itself
  FixedFileInfo fixed;
  std::vector<StringTable> string_tables;
  std::vector<Translation> translations;
};

// Parses a VS_VERSIONINFO block; `what` names it in error messages.
VersionInfo parse_version_info(std::span<const std::uint8_t> data, const std::string& what);

// The image's version resource; nullopt when it has none. An image with
// more than one RT_VERSION resource is reported as a FormatError.
std::optional<VersionInfo> read_version_info(const PeImage& image);

}  // namespace peinfo
