// Builds small PE images in memory for the peinfo tests: headers, sections,
// imports, base relocations, a resource tree, a certificate table. Written
// from the format's documentation, independently of the parser under test.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace peinfo::test {

using Bytes = std::vector<std::uint8_t>;

void put16(Bytes& b, std::size_t offset, std::uint16_t v);
void put32(Bytes& b, std::size_t offset, std::uint32_t v);
void put64(Bytes& b, std::size_t offset, std::uint64_t v);
void append16(Bytes& b, std::uint16_t v);
void append32(Bytes& b, std::uint32_t v);
void append_utf16(Bytes& b, const std::u16string& text, bool terminate = true);
void pad_to(Bytes& b, std::size_t alignment);

struct ImportSpec {
  std::string dll;
  std::vector<std::string> routines;  // "#12" imports ordinal 12
};

class PeBuilder {
 public:
  static constexpr std::uint32_t section_alignment = 0x1000;
  static constexpr std::uint32_t file_alignment = 0x200;
  static constexpr std::uint32_t headers_size = 0x400;

  explicit PeBuilder(std::uint16_t machine);

  bool pe32_plus() const { return machine_ == 0x8664; }
  std::uint64_t image_base() const { return image_base_; }

  PeBuilder& subsystem(std::uint16_t v) {
    subsystem_ = v;
    return *this;
  }
  PeBuilder& dll_characteristics(std::uint16_t v) {
    dll_characteristics_ = v;
    return *this;
  }
  PeBuilder& characteristics(std::uint16_t v) {
    characteristics_ = v;
    return *this;
  }
  PeBuilder& entry_point(std::uint32_t rva) {
    entry_ = rva;
    return *this;
  }
  PeBuilder& directory(int index, std::uint32_t rva, std::uint32_t size);

  // Adds a section and returns its RVA. Sections are laid out in order.
  std::uint32_t add_section(const std::string& name, std::uint32_t characteristics, Bytes data,
                            std::uint32_t virtual_size = 0);
  // The RVA the next section will get.
  std::uint32_t next_rva() const { return next_rva_; }

  // An .idata section with these imports; returns the IAT slot address
  // (virtual address) of every routine, keyed by name ("#12" for ordinals).
  std::map<std::string, std::uint64_t> add_imports(const std::vector<ImportSpec>& imports);
  // A .reloc section with one block per 4 KiB page.
  void add_relocations(const std::vector<std::pair<std::uint32_t, std::uint8_t>>& relocs);
  // A .rsrc section holding one resource of each (type, id, language).
  struct ResourceSpec {
    std::uint32_t type;
    std::uint32_t id;
    std::uint16_t language;
    Bytes data;
  };
  void add_resources(const std::vector<ResourceSpec>& resources);
  // A certificate table appended after the last section.
  void add_certificate(std::uint16_t revision, std::uint16_t type, const Bytes& blob);

  // The finished file. With `checksum`, the CheckSum field is filled in.
  Bytes build(bool checksum = false) const;
  // File offset of the CheckSum field in the built file.
  std::size_t checksum_offset() const;

 private:
  struct Section {
    std::string name;
    std::uint32_t rva;
    std::uint32_t virtual_size;
    std::uint32_t characteristics;
    Bytes data;
  };

  std::uint16_t machine_;
  std::uint64_t image_base_;
  std::uint16_t subsystem_ = 1;
  std::uint16_t dll_characteristics_ = 0;
  std::uint16_t characteristics_ = 0x0102;
  std::uint32_t entry_ = 0;
  std::uint32_t next_rva_ = section_alignment;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> directories_ =
      std::vector<std::pair<std::uint32_t, std::uint32_t>>(16);
  std::vector<Section> sections_;
  Bytes certificates_;
};

// VS_VERSIONINFO nodes: key, value and children, serialised with the
// format's 32-bit alignment.
struct VersionNode {
  std::u16string key;
  std::uint16_t type = 1;          // 1: text, 0: binary
  Bytes value;                     // raw value bytes
  std::uint16_t value_length = 0;  // as stored in wValueLength
  std::vector<VersionNode> children;

  static VersionNode text(std::u16string key, const std::u16string& value);
  static VersionNode binary(std::u16string key, Bytes value);
  static VersionNode block(std::u16string key, std::vector<VersionNode> children);
  Bytes serialise() const;
};

// A VS_FIXEDFILEINFO with these versions, OS and type.
Bytes fixed_file_info(std::uint32_t file_ms, std::uint32_t file_ls, std::uint32_t product_ms, std::uint32_t product_ls,
                      std::uint32_t os, std::uint32_t type);

}  // namespace peinfo::test
