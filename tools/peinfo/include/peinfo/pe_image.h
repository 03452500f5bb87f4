// A Windows PE image (.sys, .exe, .dll) read back from its bytes: headers,
// sections, imports, base relocations, unwind data, the signature and the
// resource tree. Every read is bounds-checked; a malformed file raises
// FormatError naming the file and the field.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace peinfo {

namespace machine {
inline constexpr std::uint16_t i386 = 0x014c;
inline constexpr std::uint16_t amd64 = 0x8664;
}  // namespace machine

namespace subsystem {
inline constexpr std::uint16_t native = 1;
inline constexpr std::uint16_t windows_gui = 2;
inline constexpr std::uint16_t windows_cui = 3;
}  // namespace subsystem

namespace file_flags {  // COFF header Characteristics
inline constexpr std::uint16_t relocs_stripped = 0x0001;
inline constexpr std::uint16_t executable_image = 0x0002;
inline constexpr std::uint16_t dll = 0x2000;
}  // namespace file_flags

namespace dll_flags {  // optional header DllCharacteristics
inline constexpr std::uint16_t high_entropy_va = 0x0020;
inline constexpr std::uint16_t dynamic_base = 0x0040;
inline constexpr std::uint16_t force_integrity = 0x0080;
inline constexpr std::uint16_t nx_compat = 0x0100;
}  // namespace dll_flags

namespace section_flags {
inline constexpr std::uint32_t code = 0x00000020;
inline constexpr std::uint32_t discardable = 0x02000000;
inline constexpr std::uint32_t execute = 0x20000000;
inline constexpr std::uint32_t read = 0x40000000;
inline constexpr std::uint32_t write = 0x80000000;
}  // namespace section_flags

namespace directory {  // data directory indexes
inline constexpr int exports = 0;
inline constexpr int imports = 1;
inline constexpr int resources = 2;
inline constexpr int exceptions = 3;
inline constexpr int security = 4;
inline constexpr int base_relocations = 5;
inline constexpr int tls = 9;
}  // namespace directory

namespace reloc_type {
inline constexpr std::uint8_t absolute = 0;  // padding
inline constexpr std::uint8_t highlow = 3;   // 32-bit address
inline constexpr std::uint8_t dir64 = 10;    // 64-bit address
}  // namespace reloc_type

struct Section {
  std::string name;
  std::uint32_t virtual_address = 0;
  std::uint32_t virtual_size = 0;
  std::uint32_t raw_offset = 0;
  std::uint32_t raw_size = 0;
  std::uint32_t characteristics = 0;

  bool readable() const { return (characteristics & section_flags::read) != 0; }
  bool writable() const { return (characteristics & section_flags::write) != 0; }
  bool executable() const { return (characteristics & (section_flags::execute | section_flags::code)) != 0; }
  // Size in memory: the larger of the two, as the loader maps it.
  std::uint32_t mapped_size() const { return std::max(virtual_size, raw_size); }
  bool contains(std::uint32_t rva) const { return rva >= virtual_address && rva - virtual_address < mapped_size(); }
};

struct DataDirectory {
  std::uint32_t rva = 0;  // a file offset for the security directory
  std::uint32_t size = 0;
  bool present() const { return rva != 0 && size != 0; }
};

struct ImportedRoutine {
  std::string name;                      // empty when imported by ordinal
  std::optional<std::uint16_t> ordinal;  // set when imported by ordinal
  std::uint16_t hint = 0;
  std::uint64_t iat_address = 0;  // virtual address of its import address table slot
};

struct ImportedDll {
  std::string name;
  std::vector<ImportedRoutine> routines;
};

struct Relocation {
  std::uint32_t rva = 0;
  std::uint8_t type = 0;
};

// One entry of the x86_64 exception directory (.pdata).
struct RuntimeFunction {
  std::uint32_t begin = 0;
  std::uint32_t end = 0;
  std::uint32_t unwind_info = 0;
};

// The WIN_CERTIFICATE entries of the security directory (Authenticode).
struct Certificate {
  std::uint32_t length = 0;
  std::uint16_t revision = 0;  // 0x0200 for WIN_CERT_REVISION_2_0
  std::uint16_t type = 0;      // 0x0002 for WIN_CERT_TYPE_PKCS_SIGNED_DATA
  std::vector<std::uint8_t> data;
};

// A leaf of the resource tree: type / name / language.
struct Resource {
  std::uint32_t type_id = 0;  // 0 when the type is named
  std::string type_name;
  std::uint32_t name_id = 0;  // 0 when the resource is named
  std::string name;
  std::uint16_t language = 0;
  std::uint32_t rva = 0;
  std::uint32_t size = 0;
};

namespace resource_type {
inline constexpr std::uint32_t version = 16;
inline constexpr std::uint32_t manifest = 24;
}  // namespace resource_type

class PeImage {
 public:
  // Reads and parses the file; FormatError names `path` when it is not a valid image.
  static PeImage load(const std::filesystem::path& path);
  // Parses an image held in memory; `name` stands for it in error messages.
  PeImage(std::vector<std::uint8_t> bytes, std::string name);

  const std::string& name() const { return name_; }
  std::span<const std::uint8_t> bytes() const { return bytes_; }

  std::uint16_t machine() const { return machine_; }
  bool is_pe32_plus() const { return pe32_plus_; }
  unsigned pointer_size() const { return pe32_plus_ ? 8 : 4; }
  std::uint16_t characteristics() const { return characteristics_; }
  std::uint32_t time_date_stamp() const { return time_date_stamp_; }
  std::uint32_t entry_point_rva() const { return entry_point_; }
  std::uint64_t image_base() const { return image_base_; }
  std::uint32_t size_of_image() const { return size_of_image_; }
  std::uint32_t size_of_headers() const { return size_of_headers_; }
  std::uint16_t subsystem() const { return subsystem_; }
  std::uint16_t subsystem_version_major() const { return subsystem_major_; }
  std::uint16_t subsystem_version_minor() const { return subsystem_minor_; }
  std::uint16_t dll_characteristics() const { return dll_characteristics_; }
  std::uint32_t stored_checksum() const { return checksum_; }
  // File offset of the CheckSum field of the optional header.
  std::size_t checksum_offset() const { return checksum_offset_; }
  bool has_coff_symbols() const { return symbol_table_offset_ != 0; }

  const std::vector<Section>& sections() const { return sections_; }
  // The section holding `rva`, or nullptr.
  const Section* section_at(std::uint32_t rva) const;
  DataDirectory data_directory(int index) const;

  // `size` bytes of the loaded image at `rva`, from the headers or from a
  // section's raw data. Bytes the loader would zero-fill are not readable.
  std::span<const std::uint8_t> at_rva(std::uint32_t rva, std::uint32_t size, const char* field) const;

  std::vector<ImportedDll> imports() const;
  std::vector<Relocation> relocations() const;
  std::vector<RuntimeFunction> runtime_functions() const;
  std::vector<Certificate> certificates() const;
  std::vector<Resource> resources() const;

 private:
  void parse_headers();

  std::string name_;
  std::vector<std::uint8_t> bytes_;

  std::uint16_t machine_ = 0;
  bool pe32_plus_ = false;
  std::uint16_t characteristics_ = 0;
  std::uint32_t time_date_stamp_ = 0;
  std::uint32_t symbol_table_offset_ = 0;
  std::uint32_t entry_point_ = 0;
  std::uint64_t image_base_ = 0;
  std::uint32_t size_of_image_ = 0;
  std::uint32_t size_of_headers_ = 0;
  std::uint16_t subsystem_ = 0;
  std::uint16_t subsystem_major_ = 0;
  std::uint16_t subsystem_minor_ = 0;
  std::uint16_t dll_characteristics_ = 0;
  std::uint32_t checksum_ = 0;
  std::size_t checksum_offset_ = 0;
  std::vector<DataDirectory> directories_;
  std::vector<Section> sections_;
};

// Human-readable names for reports.
std::string machine_name(std::uint16_t machine);
std::string subsystem_name(std::uint16_t subsystem);
std::string reloc_type_name(std::uint8_t type);
// "r-x", "rw-" ...
std::string section_access(const Section& section);

}  // namespace peinfo
