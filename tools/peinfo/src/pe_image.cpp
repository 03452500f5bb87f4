#include "peinfo/pe_image.h"

#include <fstream>
#include <iterator>
#include <set>

#include "peinfo/byte_reader.h"
#include "peinfo/format_error.h"
#include "peinfo/hex.h"
#include "peinfo/utf16.h"

namespace peinfo {

namespace {

constexpr std::uint16_t pe32_magic = 0x010b;
constexpr std::uint16_t pe32_plus_magic = 0x020b;
constexpr std::size_t coff_header_size = 20;
constexpr std::size_t section_header_size = 40;
constexpr std::size_t import_descriptor_size = 20;
// Guards against loops and absurd counts in corrupt files.
constexpr std::size_t max_imports_per_dll = 65536;
constexpr int resource_levels = 3;

}  // namespace

PeImage PeImage::load(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw FormatError(path.string() + ": cannot open the file (does it exist and is it readable?)");
  }
  std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) {
    throw FormatError(path.string() + ": read error");
  }
  return PeImage(std::move(bytes), path.string());
}

PeImage::PeImage(std::vector<std::uint8_t> bytes, std::string name) : name_(std::move(name)), bytes_(std::move(bytes)) {
  parse_headers();
}

void PeImage::parse_headers() {
  const ByteReader r(bytes_, name_);
  if (bytes_.size() < 0x40 || r.u16(0, "DOS signature") != 0x5a4d) {
    throw FormatError(name_ + ": not a PE image (no 'MZ' DOS header)");
  }
  const std::uint32_t pe = r.u32(0x3c, "e_lfanew");
  if (r.u32(pe, "PE signature") != 0x00004550) {
    throw FormatError(name_ + ": not a PE image (no 'PE\\0\\0' signature at " + hex(pe) + ")");
  }
  const std::size_t coff = pe + 4;
  machine_ = r.u16(coff + 0, "COFF Machine");
  const std::uint16_t section_count = r.u16(coff + 2, "COFF NumberOfSections");
  time_date_stamp_ = r.u32(coff + 4, "COFF TimeDateStamp");
  symbol_table_offset_ = r.u32(coff + 8, "COFF PointerToSymbolTable");
  const std::uint16_t optional_size = r.u16(coff + 16, "COFF SizeOfOptionalHeader");
  characteristics_ = r.u16(coff + 18, "COFF Characteristics");

  const std::size_t opt = coff + coff_header_size;
  r.span(opt, optional_size, "optional header");
  const std::uint16_t magic = r.u16(opt, "optional header Magic");
  if (magic != pe32_magic && magic != pe32_plus_magic) {
    throw FormatError(name_ + ": unknown optional header magic " + hex(magic) +
                      " (expected 0x10b for PE32 or 0x20b for PE32+)");
  }
  pe32_plus_ = magic == pe32_plus_magic;
  entry_point_ = r.u32(opt + 16, "AddressOfEntryPoint");
  image_base_ = pe32_plus_ ? r.u64(opt + 24, "ImageBase") : r.u32(opt + 28, "ImageBase");
  subsystem_major_ = r.u16(opt + 48, "MajorSubsystemVersion");
  subsystem_minor_ = r.u16(opt + 50, "MinorSubsystemVersion");
  size_of_image_ = r.u32(opt + 56, "SizeOfImage");
  size_of_headers_ = r.u32(opt + 60, "SizeOfHeaders");
  checksum_offset_ = opt + 64;
  checksum_ = r.u32(checksum_offset_, "CheckSum");
  subsystem_ = r.u16(opt + 68, "Subsystem");
  dll_characteristics_ = r.u16(opt + 70, "DllCharacteristics");

  const std::size_t dir_count_offset = opt + (pe32_plus_ ? 108 : 92);
  const std::uint32_t dir_count = r.u32(dir_count_offset, "NumberOfRvaAndSizes");
  const std::size_t dirs = dir_count_offset + 4;
  if (dirs + std::size_t{dir_count} * 8 > opt + optional_size) {
    throw FormatError(name_ + ": " + std::to_string(dir_count) + " data directories do not fit in the optional header");
  }
  for (std::uint32_t i = 0; i < dir_count; ++i) {
    directories_.push_back({r.u32(dirs + i * 8, "data directory RVA"), r.u32(dirs + i * 8 + 4, "data directory size")});
  }

  const std::size_t table = opt + optional_size;
  for (std::uint16_t i = 0; i < section_count; ++i) {
    const std::size_t h = table + i * section_header_size;
    auto raw_name = r.span(h, 8, "section name");
    Section s;
    for (auto c : raw_name) {
      if (c == 0) {
        break;
      }
      s.name.push_back(static_cast<char>(c));
    }
    s.virtual_size = r.u32(h + 8, "section VirtualSize");
    s.virtual_address = r.u32(h + 12, "section VirtualAddress");
    s.raw_size = r.u32(h + 16, "section SizeOfRawData");
    s.raw_offset = r.u32(h + 20, "section PointerToRawData");
    s.characteristics = r.u32(h + 36, "section Characteristics");
    if (s.raw_size != 0) {
      r.span(s.raw_offset, s.raw_size, "raw data of section " + s.name);
    }
    sections_.push_back(std::move(s));
  }
}

const Section* PeImage::section_at(std::uint32_t rva) const {
  for (const auto& s : sections_) {
    if (s.contains(rva)) {
      return &s;
    }
  }
  return nullptr;
}

DataDirectory PeImage::data_directory(int index) const {
  if (index < 0 || static_cast<std::size_t>(index) >= directories_.size()) {
    return {};
  }
  return directories_[static_cast<std::size_t>(index)];
}

std::span<const std::uint8_t> PeImage::at_rva(std::uint32_t rva, std::uint32_t size, const char* field) const {
  const ByteReader r(bytes_, name_);
  for (const auto& s : sections_) {
    if (rva >= s.virtual_address && rva - s.virtual_address < s.raw_size) {
      const std::uint32_t offset = rva - s.virtual_address;
      if (size > s.raw_size - offset) {
        throw FormatError(name_ + ": " + field + " at RVA " + hex(rva) + " (" + std::to_string(size) +
                          " bytes) runs past the raw data of section " + s.name);
      }
      return r.span(std::size_t{s.raw_offset} + offset, size, field);
    }
  }
  if (rva < size_of_headers_) {
    return r.span(rva, size, field);
  }
  throw FormatError(name_ + ": " + field + " at RVA " + hex(rva) + " is not inside the file data of any section");
}

namespace {

// A NUL-terminated string at an RVA, read byte by byte so that it may end
// anywhere inside its section.
std::string string_at_rva(const PeImage& image, std::uint32_t rva, const char* field) {
  std::string text;
  for (std::uint32_t i = 0; i < 4096; ++i) {
    const std::uint8_t c = image.at_rva(rva + i, 1, field)[0];
    if (c == 0) {
      return text;
    }
    text.push_back(static_cast<char>(c));
  }
  throw FormatError(image.name() + ": " + field + " at RVA " + hex(rva) + " is not terminated");
}

std::uint32_t u32_at(std::span<const std::uint8_t> b, std::size_t offset) {
  return static_cast<std::uint32_t>(b[offset]) | (static_cast<std::uint32_t>(b[offset + 1]) << 8) |
         (static_cast<std::uint32_t>(b[offset + 2]) << 16) | (static_cast<std::uint32_t>(b[offset + 3]) << 24);
}

std::uint16_t u16_at(std::span<const std::uint8_t> b, std::size_t offset) {
  return static_cast<std::uint16_t>(b[offset] | (b[offset + 1] << 8));
}

}  // namespace

std::vector<ImportedDll> PeImage::imports() const {
  std::vector<ImportedDll> dlls;
  const DataDirectory dir = data_directory(directory::imports);
  if (!dir.present()) {
    return dlls;
  }
  const unsigned ptr = pointer_size();
  for (std::uint32_t d = dir.rva;; d += import_descriptor_size) {
    auto desc = at_rva(d, import_descriptor_size, "import descriptor");
    const std::uint32_t lookup = u32_at(desc, 0);
    const std::uint32_t name = u32_at(desc, 12);
    const std::uint32_t iat = u32_at(desc, 16);
    if (lookup == 0 && name == 0 && iat == 0) {
      break;
    }
    ImportedDll dll;
    dll.name = string_at_rva(*this, name, "imported DLL name");
    const std::uint32_t thunks = lookup != 0 ? lookup : iat;
    for (std::size_t i = 0;; ++i) {
      if (i == max_imports_per_dll) {
        throw FormatError(name_ + ": import table of " + dll.name + " is not terminated");
      }
      auto slot = at_rva(static_cast<std::uint32_t>(thunks + i * ptr), ptr, "import lookup entry");
      const std::uint64_t value =
          ptr == 8 ? (u32_at(slot, 0) | (static_cast<std::uint64_t>(u32_at(slot, 4)) << 32)) : u32_at(slot, 0);
      if (value == 0) {
        break;
      }
      ImportedRoutine routine;
      routine.iat_address = image_base_ + iat + i * ptr;
      const std::uint64_t ordinal_flag = ptr == 8 ? (1ULL << 63) : (1ULL << 31);
      if ((value & ordinal_flag) != 0) {
        routine.ordinal = static_cast<std::uint16_t>(value & 0xffff);
      } else {
        const auto hint_name = static_cast<std::uint32_t>(value & 0x7fffffff);
        routine.hint = u16_at(at_rva(hint_name, 2, "import hint"), 0);
        routine.name = string_at_rva(*this, hint_name + 2, "imported routine name");
      }
      dll.routines.push_back(std::move(routine));
    }
    dlls.push_back(std::move(dll));
  }
  return dlls;
}

std::vector<Relocation> PeImage::relocations() const {
  std::vector<Relocation> relocs;
  const DataDirectory dir = data_directory(directory::base_relocations);
  if (!dir.present()) {
    return relocs;
  }
  auto table = at_rva(dir.rva, dir.size, "base relocation table");
  std::size_t offset = 0;
  while (offset + 8 <= table.size()) {
    const std::uint32_t page = u32_at(table, offset);
    const std::uint32_t block_size = u32_at(table, offset + 4);
    if (block_size < 8 || block_size % 2 != 0 || block_size > table.size() - offset) {
      throw FormatError(name_ + ": base relocation block at RVA " + hex(dir.rva + offset) + " has an invalid size " +
                        std::to_string(block_size));
    }
    for (std::size_t e = offset + 8; e < offset + block_size; e += 2) {
      const std::uint16_t entry = u16_at(table, e);
      relocs.push_back({page + (entry & 0x0fffu), static_cast<std::uint8_t>(entry >> 12)});
    }
    offset += block_size;
  }
  if (offset != table.size()) {
    throw FormatError(name_ + ": " + std::to_string(table.size() - offset) +
                      " stray bytes at the end of the base relocation table");
  }
  return relocs;
}

std::vector<RuntimeFunction> PeImage::runtime_functions() const {
  std::vector<RuntimeFunction> functions;
  const DataDirectory dir = data_directory(directory::exceptions);
  if (!dir.present() || machine_ != machine::amd64) {
    return functions;
  }
  if (dir.size % 12 != 0) {
    throw FormatError(name_ + ": exception directory size " + std::to_string(dir.size) +
                      " is not a multiple of 12 (RUNTIME_FUNCTION)");
  }
  auto table = at_rva(dir.rva, dir.size, "exception directory");
  for (std::size_t i = 0; i < table.size(); i += 12) {
    functions.push_back({u32_at(table, i), u32_at(table, i + 4), u32_at(table, i + 8)});
  }
  return functions;
}

std::vector<Certificate> PeImage::certificates() const {
  std::vector<Certificate> certificates;
  const DataDirectory dir = data_directory(directory::security);
  if (!dir.present()) {
    return certificates;
  }
  const ByteReader r(bytes_, name_);
  // The security directory holds a file offset, not an RVA: it is not loaded.
  auto table = r.span(dir.rva, dir.size, "certificate table");
  std::size_t offset = 0;
  while (offset < table.size()) {
    if (table.size() - offset < 8) {
      throw FormatError(name_ + ": truncated WIN_CERTIFICATE header in the certificate table");
    }
    Certificate c;
    c.length = u32_at(table, offset);
    c.revision = u16_at(table, offset + 4);
    c.type = u16_at(table, offset + 6);
    if (c.length < 8 || c.length > table.size() - offset) {
      throw FormatError(name_ + ": WIN_CERTIFICATE at file offset " + hex(dir.rva + offset) + " claims " +
                        std::to_string(c.length) + " bytes, " + std::to_string(table.size() - offset) + " remain");
    }
    c.data.assign(table.begin() + static_cast<std::ptrdiff_t>(offset + 8),
                  table.begin() + static_cast<std::ptrdiff_t>(offset + c.length));
    certificates.push_back(std::move(c));
    offset += (std::size_t{c.length} + 7) & ~std::size_t{7};
  }
  return certificates;
}

namespace {

struct ResourceWalker {
  const PeImage& image;
  std::uint32_t base;  // RVA of the resource directory
  std::uint32_t size;
  std::vector<Resource> found;
  std::set<std::uint32_t> visited;

  std::string entry_name(std::uint32_t offset) const {
    auto length = u16_at(image.at_rva(base + offset, 2, "resource name length"), 0);
    auto chars = image.at_rva(base + offset + 2, length * 2u, "resource name");
    return utf16le_to_utf8(chars);
  }

  void walk(std::uint32_t offset, int level, Resource path) {
    if (offset >= size || !visited.insert(offset).second) {
      throw FormatError(image.name() + ": resource directory entry at offset " + hex(offset) +
                        " is out of range or loops");
    }
    auto header = image.at_rva(base + offset, 16, "resource directory");
    const unsigned count = u16_at(header, 12) + u16_at(header, 14);
    auto entries = image.at_rva(base + offset + 16, count * 8u, "resource directory entries");
    for (unsigned i = 0; i < count; ++i) {
      const std::uint32_t id = u32_at(entries, i * 8);
      const std::uint32_t target = u32_at(entries, i * 8 + 4);
      Resource here = path;
      const bool named = (id & 0x80000000u) != 0;
      if (level == 0) {
        if (named) {
          here.type_name = entry_name(id & 0x7fffffff);
        } else {
          here.type_id = id;
        }
      } else if (level == 1) {
        if (named) {
          here.name = entry_name(id & 0x7fffffff);
        } else {
          here.name_id = id;
        }
      } else {
        here.language = static_cast<std::uint16_t>(id & 0xffff);
      }
      const bool subdirectory = (target & 0x80000000u) != 0;
      if (level + 1 < resource_levels) {
        if (!subdirectory) {
          throw FormatError(image.name() + ": resource tree is shallower than type/name/language");
        }
        walk(target & 0x7fffffff, level + 1, here);
      } else {
        if (subdirectory) {
          throw FormatError(image.name() + ": resource tree is deeper than type/name/language");
        }
        auto data = image.at_rva(base + target, 16, "resource data entry");
        here.rva = u32_at(data, 0);
        here.size = u32_at(data, 4);
        found.push_back(here);
      }
    }
  }
};

}  // namespace

std::vector<Resource> PeImage::resources() const {
  const DataDirectory dir = data_directory(directory::resources);
  if (!dir.present()) {
    return {};
  }
  ResourceWalker walker{*this, dir.rva, dir.size, {}, {}};
  walker.walk(0, 0, Resource{});
  return walker.found;
}

std::string machine_name(std::uint16_t value) {
  switch (value) {
    case machine::i386: return "i386";
    case machine::amd64: return "x86_64";
    case 0x01c4: return "ARM Thumb-2";
    case 0xaa64: return "ARM64";
    default: return "unknown machine " + hex(value, 4);
  }
}

std::string subsystem_name(std::uint16_t value) {
  switch (value) {
    case subsystem::native: return "native";
    case subsystem::windows_gui: return "Windows GUI";
    case subsystem::windows_cui: return "Windows console";
    case 10: return "EFI application";
    default: return "subsystem " + std::to_string(value);
  }
}

std::string reloc_type_name(std::uint8_t type) {
  switch (type) {
    case reloc_type::absolute: return "ABSOLUTE";
    case reloc_type::highlow: return "HIGHLOW";
    case reloc_type::dir64: return "DIR64";
    default: return "type " + std::to_string(type);
  }
}

std::string section_access(const Section& section) {
  std::string text = "---";
  if (section.readable()) text[0] = 'r';
  if (section.writable()) text[1] = 'w';
  if (section.executable()) text[2] = 'x';
  return text;
}

}  // namespace peinfo
