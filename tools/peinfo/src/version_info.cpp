#include "peinfo/version_info.h"

#include "peinfo/byte_reader.h"
#include "peinfo/format_error.h"
#include "peinfo/pe_image.h"
#include "peinfo/utf16.h"

namespace peinfo {

namespace {

constexpr std::size_t fixed_file_info_size = 52;

std::size_t align4(std::size_t offset) { return (offset + 3) & ~std::size_t{3}; }

// One node of the VS_VERSIONINFO tree:
//   WORD wLength, WORD wValueLength, WORD wType, WCHAR szKey[], padding,
//   value, padding, children.
// Offsets are relative to the start of the block, which is 32-bit aligned.
struct Node {
  std::size_t begin = 0;
  std::size_t end = 0;  // begin + wLength
  std::uint16_t value_length = 0;
  std::uint16_t type = 0;  // 1: text value (length in WCHARs), 0: binary (bytes)
  std::string key;
  std::size_t value = 0;     // offset of the value
  std::size_t children = 0;  // offset of the first child
};

class Parser {
 public:
  Parser(std::span<const std::uint8_t> data, const std::string& what) : r_(data, what) {}

  Node node(std::size_t begin, std::size_t limit) const {
    Node n;
    n.begin = begin;
    const std::uint16_t length = r_.u16(begin, "version node wLength");
    n.value_length = r_.u16(begin + 2, "version node wValueLength");
    n.type = r_.u16(begin + 4, "version node wType");
    n.end = begin + length;
    if (length < 6 || n.end > limit) {
      fail("node at offset " + std::to_string(begin) + " has length " + std::to_string(length) +
           ", which does not fit in its parent");
    }
    std::size_t p = begin + 6;
    std::vector<std::uint8_t> key;
    for (;; p += 2) {
      if (p + 2 > n.end) {
        fail("key of the node at offset " + std::to_string(begin) + " is not terminated");
      }
      const std::uint16_t c = r_.u16(p, "version node key");
      if (c == 0) {
        p += 2;
        break;
      }
      key.push_back(static_cast<std::uint8_t>(c & 0xff));
      key.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    n.key = utf16le_to_utf8(key);
    n.value = align4(p);
    const std::size_t value_bytes = n.type == 1 ? n.value_length * 2u : n.value_length;
    n.children = align4(n.value + value_bytes);
    if (n.value + value_bytes > n.end) {
      fail("value of \"" + n.key + "\" runs past the end of its node");
    }
    return n;
  }

  template <typename Visit>
  void for_each_child(const Node& parent, Visit visit) const {
    for (std::size_t p = parent.children; p < parent.end;) {
      const Node child = node(p, parent.end);
      visit(child);
      p = align4(child.end);
    }
  }

  // A text value: UTF-16 up to the first NUL or the end of the node.
  // (Resource compilers disagree on whether wValueLength counts the NUL
  // or is in bytes, so the length is not trusted for text.)
  std::string text(const Node& n) const {
    std::vector<std::uint8_t> chars;
    for (std::size_t p = n.value; p + 2 <= n.end; p += 2) {
      const std::uint16_t c = r_.u16(p, "version string value");
      if (c == 0) {
        break;
      }
      chars.push_back(static_cast<std::uint8_t>(c & 0xff));
      chars.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    return utf16le_to_utf8(chars);
  }

  const ByteReader& reader() const { return r_; }

  [[noreturn]] void fail(const std::string& message) const {
    throw FormatError(r_.what() + ": version resource: " + message);
  }

 private:
  ByteReader r_;
};

}  // namespace

std::string version_text(std::uint32_t ms, std::uint32_t ls) {
  return std::to_string(ms >> 16) + "." + std::to_string(ms & 0xffff) + "." + std::to_string(ls >> 16) + "." +
         std::to_string(ls & 0xffff);
}

const std::string* StringTable::find(std::string_view name) const {
  for (const auto& [entry, value] : strings) {
    if (entry == name) {
      return &value;
    }
  }
  return nullptr;
}

VersionInfo parse_version_info(std::span<const std::uint8_t> data, const std::string& what) {
  const Parser p(data, what);
  const Node root = p.node(0, data.size());
  if (root.key != "VS_VERSION_INFO") {
    p.fail("root key is \"" + root.key + "\", expected \"VS_VERSION_INFO\"");
  }
  VersionInfo info;
  if (root.value_length != 0) {
    if (root.value_length != fixed_file_info_size) {
      p.fail("VS_FIXEDFILEINFO is " + std::to_string(root.value_length) + " bytes, expected 52");
    }
    const ByteReader& r = p.reader();
    auto word = [&](std::size_t i) { return r.u32(root.value + 4 * i, "VS_FIXEDFILEINFO"); };
    FixedFileInfo& f = info.fixed;
    f.signature = word(0);
    f.struct_version = word(1);
    f.file_version_ms = word(2);
    f.file_version_ls = word(3);
    f.product_version_ms = word(4);
    f.product_version_ls = word(5);
    f.flags_mask = word(6);
    f.flags = word(7);
    f.file_os = word(8);
    f.file_type = word(9);
    f.file_subtype = word(10);
    f.date_ms = word(11);
    f.date_ls = word(12);
    if (f.signature != fixed_file_info_signature) {
      p.fail("VS_FIXEDFILEINFO signature is wrong");
    }
  }
  p.for_each_child(root, [&](const Node& block) {
    if (block.key == "StringFileInfo") {
      p.for_each_child(block, [&](const Node& table_node) {
        StringTable table;
        table.key = table_node.key;
        p.for_each_child(table_node, [&](const Node& entry) { table.strings.emplace_back(entry.key, p.text(entry)); });
        info.string_tables.push_back(std::move(table));
      });
    } else if (block.key == "VarFileInfo") {
      p.for_each_child(block, [&](const Node& var) {
        if (var.key != "Translation") {
          return;
        }
        if (var.value_length % 4 != 0) {
          p.fail("Translation value is " + std::to_string(var.value_length) + " bytes, not a multiple of 4");
        }
        for (std::size_t i = 0; i < var.value_length; i += 4) {
          info.translations.push_back({p.reader().u16(var.value + i, "Translation language"),
                                       p.reader().u16(var.value + i + 2, "Translation code page")});
        }
      });
    } else {
      p.fail("unexpected block \"" + block.key + "\" under VS_VERSION_INFO");
    }
  });
  return info;
}

std::optional<VersionInfo> read_version_info(const PeImage& image) {
  std::optional<VersionInfo> info;
  for (const Resource& res : image.resources()) {
    if (res.type_id != resource_type::version) {
      continue;
    }
    if (info) {
      throw FormatError(image.name() + ": more than one version resource");
    }
    auto data = image.at_rva(res.rva, res.size, "version resource");
    info = parse_version_info(data, image.name());
    info->resource_language = res.language;
  }
  return info;
}

}  // namespace peinfo
