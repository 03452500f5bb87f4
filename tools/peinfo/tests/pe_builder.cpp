#include "pe_builder.h"

#include <stdexcept>

namespace peinfo::test {

void put16(Bytes& b, std::size_t o, std::uint16_t v) {
  b.at(o) = v & 0xff;
  b.at(o + 1) = v >> 8;
}

void put32(Bytes& b, std::size_t o, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b.at(o + i) = (v >> (8 * i)) & 0xff;
}

void put64(Bytes& b, std::size_t o, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) b.at(o + i) = (v >> (8 * i)) & 0xff;
}

void append16(Bytes& b, std::uint16_t v) {
  b.push_back(v & 0xff);
  b.push_back(v >> 8);
}

void append32(Bytes& b, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back((v >> (8 * i)) & 0xff);
}

void append_utf16(Bytes& b, const std::u16string& text, bool terminate) {
  for (char16_t c : text) append16(b, c);
  if (terminate) append16(b, 0);
}

void pad_to(Bytes& b, std::size_t alignment) {
  while (b.size() % alignment) b.push_back(0);
}

namespace {

std::uint32_t align_up(std::uint32_t v, std::uint32_t a) { return (v + a - 1) / a * a; }

}  // namespace

PeBuilder::PeBuilder(std::uint16_t machine)
    : machine_(machine), image_base_(machine == 0x8664 ? 0x140000000ULL : 0x10000) {}

PeBuilder& PeBuilder::directory(int index, std::uint32_t rva, std::uint32_t size) {
  directories_.at(static_cast<std::size_t>(index)) = {rva, size};
  return *this;
}

std::uint32_t PeBuilder::add_section(const std::string& name, std::uint32_t characteristics, Bytes data,
                                     std::uint32_t virtual_size) {
  const std::uint32_t rva = next_rva_;
  const auto size = virtual_size ? virtual_size : static_cast<std::uint32_t>(data.size());
  sections_.push_back({name, rva, size, characteristics, std::move(data)});
  next_rva_ = rva + align_up(std::max<std::uint32_t>(size, 1), section_alignment);
  return rva;
}

std::map<std::string, std::uint64_t> PeBuilder::add_imports(const std::vector<ImportSpec>& imports) {
  const std::uint32_t base = next_rva_;
  const unsigned ptr = pe32_plus() ? 8 : 4;
  // Layout: descriptors, then per DLL its lookup table and address table,
  // then hint/name entries and DLL names.
  std::uint32_t offset = static_cast<std::uint32_t>((imports.size() + 1) * 20);
  std::vector<std::uint32_t> lookup_at, iat_at;
  for (const auto& dll : imports) {
    lookup_at.push_back(offset);
    offset += static_cast<std::uint32_t>((dll.routines.size() + 1) * ptr);
    iat_at.push_back(offset);
    offset += static_cast<std::uint32_t>((dll.routines.size() + 1) * ptr);
  }
  Bytes data(offset, 0);
  std::map<std::string, std::uint64_t> slots;
  for (std::size_t d = 0; d < imports.size(); ++d) {
    const auto& dll = imports[d];
    const auto name_rva = base + static_cast<std::uint32_t>(data.size());
    data.insert(data.end(), dll.dll.begin(), dll.dll.end());
    data.push_back(0);
    pad_to(data, 2);
    put32(data, d * 20 + 0, base + lookup_at[d]);
    put32(data, d * 20 + 12, name_rva);
    put32(data, d * 20 + 16, base + iat_at[d]);
    for (std::size_t i = 0; i < dll.routines.size(); ++i) {
      const std::string& r = dll.routines[i];
      std::uint64_t entry;
      if (r.starts_with('#')) {
        entry = std::stoul(r.substr(1)) | (ptr == 8 ? (1ULL << 63) : (1ULL << 31));
      } else {
        entry = base + static_cast<std::uint32_t>(data.size());
        append16(data, static_cast<std::uint16_t>(i));
        data.insert(data.end(), r.begin(), r.end());
        data.push_back(0);
        pad_to(data, 2);
      }
      for (std::uint32_t table : {lookup_at[d], iat_at[d]}) {
        if (ptr == 8)
          put64(data, table + i * ptr, entry);
        else
          put32(data, table + i * ptr, static_cast<std::uint32_t>(entry));
      }
      slots[r] = image_base_ + base + iat_at[d] + i * ptr;
    }
  }
  add_section(".idata", 0xc0000040, data);
  directory(1, base, static_cast<std::uint32_t>((imports.size() + 1) * 20));
  return slots;
}

void PeBuilder::add_relocations(const std::vector<std::pair<std::uint32_t, std::uint8_t>>& relocs) {
  std::map<std::uint32_t, std::vector<std::uint16_t>> pages;
  for (auto [rva, type] : relocs) {
    pages[rva & ~0xfffu].push_back(static_cast<std::uint16_t>((type << 12) | (rva & 0xfff)));
  }
  Bytes data;
  for (auto& [page, entries] : pages) {
    if (entries.size() % 2) entries.push_back(0);  // ABSOLUTE padding
    append32(data, page);
    append32(data, static_cast<std::uint32_t>(8 + entries.size() * 2));
    for (auto e : entries) append16(data, e);
  }
  const auto rva = add_section(".reloc", 0x42000040, data);
  directory(5, rva, static_cast<std::uint32_t>(data.size()));
}

void PeBuilder::add_resources(const std::vector<ResourceSpec>& resources) {
  // One type directory per resource for simplicity: root -> type -> id -> language.
  const std::uint32_t base = next_rva_;
  Bytes data;
  auto directory_header = [&](std::uint16_t ids) {
    append32(data, 0);
    append32(data, 0);
    append16(data, 4);
    append16(data, 0);
    append16(data, 0);    // named entries
    append16(data, ids);  // id entries
  };
  const std::size_t n = resources.size();
  directory_header(static_cast<std::uint16_t>(n));
  const std::size_t root_entries = data.size();
  data.resize(data.size() + n * 8);
  for (std::size_t i = 0; i < n; ++i) {
    const auto& res = resources[i];
    put32(data, root_entries + i * 8, res.type);
    put32(data, root_entries + i * 8 + 4, 0x80000000u | static_cast<std::uint32_t>(data.size()));
    directory_header(1);
    const std::size_t name_entry = data.size();
    data.resize(data.size() + 8);
    put32(data, name_entry, res.id);
    put32(data, name_entry + 4, 0x80000000u | static_cast<std::uint32_t>(data.size()));
    directory_header(1);
    const std::size_t lang_entry = data.size();
    data.resize(data.size() + 8);
    put32(data, lang_entry, res.language);
    put32(data, lang_entry + 4, static_cast<std::uint32_t>(data.size()));
    const std::size_t data_entry = data.size();
    data.resize(data.size() + 16);
    pad_to(data, 4);
    put32(data, data_entry, base + static_cast<std::uint32_t>(data.size()));
    put32(data, data_entry + 4, static_cast<std::uint32_t>(res.data.size()));
    data.insert(data.end(), res.data.begin(), res.data.end());
    pad_to(data, 4);
  }
  add_section(".rsrc", 0x40000040, data);
  directory(2, base, static_cast<std::uint32_t>(data.size()));
}

void PeBuilder::add_certificate(std::uint16_t revision, std::uint16_t type, const Bytes& blob) {
  append32(certificates_, static_cast<std::uint32_t>(8 + blob.size()));
  append16(certificates_, revision);
  append16(certificates_, type);
  certificates_.insert(certificates_.end(), blob.begin(), blob.end());
  pad_to(certificates_, 8);
}

std::size_t PeBuilder::checksum_offset() const { return 0x80 + 4 + 20 + 64; }

Bytes PeBuilder::build(bool checksum) const {
  const bool plus = pe32_plus();
  const std::uint16_t optional_size = plus ? 240 : 224;
  Bytes out(headers_size, 0);
  out[0] = 'M';
  out[1] = 'Z';
  put32(out, 0x3c, 0x80);
  put32(out, 0x80, 0x00004550);
  const std::size_t coff = 0x84;
  put16(out, coff + 0, machine_);
  put16(out, coff + 2, static_cast<std::uint16_t>(sections_.size()));
  put16(out, coff + 16, optional_size);
  put16(out, coff + 18, characteristics_);
  const std::size_t opt = coff + 20;
  put16(out, opt, plus ? 0x20b : 0x10b);
  put32(out, opt + 16, entry_);
  if (plus)
    put64(out, opt + 24, image_base_);
  else
    put32(out, opt + 28, static_cast<std::uint32_t>(image_base_));
  put32(out, opt + 32, section_alignment);
  put32(out, opt + 36, file_alignment);
  put16(out, opt + 48, 5);
  put16(out, opt + 50, 1);
  put32(out, opt + 56, next_rva_);
  put32(out, opt + 60, headers_size);
  put16(out, opt + 68, subsystem_);
  put16(out, opt + 70, dll_characteristics_);
  const std::size_t count = opt + (plus ? 108 : 92);
  put32(out, count, 16);
  const std::size_t table = opt + optional_size;
  if (table + sections_.size() * 40 > headers_size) throw std::logic_error("too many sections");

  for (std::size_t i = 0; i < sections_.size(); ++i) {
    const auto& s = sections_[i];
    pad_to(out, file_alignment);
    const auto raw_offset = static_cast<std::uint32_t>(out.size());
    out.insert(out.end(), s.data.begin(), s.data.end());
    pad_to(out, file_alignment);
    const std::size_t h = table + i * 40;
    for (std::size_t c = 0; c < s.name.size() && c < 8; ++c) out[h + c] = static_cast<std::uint8_t>(s.name[c]);
    put32(out, h + 8, s.virtual_size);
    put32(out, h + 12, s.rva);
    put32(out, h + 16, s.data.empty() ? 0 : static_cast<std::uint32_t>(out.size() - raw_offset));
    put32(out, h + 20, s.data.empty() ? 0 : raw_offset);
    put32(out, h + 36, s.characteristics);
  }
  auto dirs = directories_;
  if (!certificates_.empty()) {
    dirs[4] = {static_cast<std::uint32_t>(out.size()), static_cast<std::uint32_t>(certificates_.size())};
    out.insert(out.end(), certificates_.begin(), certificates_.end());
  }
  for (std::size_t i = 0; i < dirs.size(); ++i) {
    put32(out, count + 4 + i * 8, dirs[i].first);
    put32(out, count + 8 + i * 8, dirs[i].second);
  }
  if (checksum) {
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < out.size(); i += 2) {
      if (i == checksum_offset() || i == checksum_offset() + 2) continue;
      sum += out[i] | (i + 1 < out.size() ? out[i + 1] << 8 : 0);
      sum = (sum & 0xffff) + (sum >> 16);
    }
    sum = (sum & 0xffff) + (sum >> 16);
    put32(out, checksum_offset(), static_cast<std::uint32_t>(sum + out.size()));
  }
  return out;
}

VersionNode VersionNode::text(std::u16string key, const std::u16string& value) {
  VersionNode n;
  n.key = std::move(key);
  n.type = 1;
  append_utf16(n.value, value);
  n.value_length = static_cast<std::uint16_t>(value.size() + 1);
  return n;
}

VersionNode VersionNode::binary(std::u16string key, Bytes value) {
  VersionNode n;
  n.key = std::move(key);
  n.type = 0;
  n.value_length = static_cast<std::uint16_t>(value.size());
  n.value = std::move(value);
  return n;
}

VersionNode VersionNode::block(std::u16string key, std::vector<VersionNode> children) {
  VersionNode n;
  n.key = std::move(key);
  n.type = 1;
  n.children = std::move(children);
  return n;
}

Bytes VersionNode::serialise() const {
  Bytes b(6, 0);
  put16(b, 2, value_length);
  put16(b, 4, type);
  append_utf16(b, key);
  pad_to(b, 4);
  b.insert(b.end(), value.begin(), value.end());
  for (const auto& child : children) {
    pad_to(b, 4);
    const Bytes c = child.serialise();
    b.insert(b.end(), c.begin(), c.end());
  }
  put16(b, 0, static_cast<std::uint16_t>(b.size()));
  return b;
}

Bytes fixed_file_info(std::uint32_t file_ms, std::uint32_t file_ls, std::uint32_t product_ms, std::uint32_t product_ls,
                      std::uint32_t os, std::uint32_t type) {
  Bytes b;
  for (std::uint32_t v :
       {0xfeef04bdu, 0x00010000u, file_ms, file_ls, product_ms, product_ls, 0x3fu, 0u, os, type, 0u, 0u, 0u}) {
    append32(b, v);
  }
  return b;
}

}  // namespace peinfo::test
