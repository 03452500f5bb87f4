#include "report.h"

#include <ostream>

#include "peinfo/hex.h"
#include "peinfo/pe_checksum.h"
#include "peinfo/pe_image.h"
#include "peinfo/version_info.h"

namespace peinfo {

namespace {

std::string dll_flag_names(std::uint16_t flags) {
  std::string names;
  auto add = [&](std::uint16_t bit, const char* name) {
    if (flags & bit) names += std::string(" ") + name;
  };
  add(dll_flags::high_entropy_va, "HIGH_ENTROPY_VA");
  add(dll_flags::dynamic_base, "DYNAMIC_BASE");
  add(dll_flags::force_integrity, "FORCE_INTEGRITY");
  add(dll_flags::nx_compat, "NX_COMPAT");
  return names.empty() ? " (none)" : names;
}

void print_entry_point(std::ostream& out, const PeImage& image) {
  out << "entry point:   RVA " << hex(image.entry_point_rva());
  if (const Section* s = image.section_at(image.entry_point_rva())) {
    out << " in " << s->name;
  }
  out << "\n";
}

void print_version(std::ostream& out, const PeImage& image) {
  const auto info = read_version_info(image);
  if (!info) {
    out << "version:       (no version resource)\n";
    return;
  }
  const FixedFileInfo& f = info->fixed;
  out << "version:       resource language " << hex(info->resource_language, 4) << "\n"
      << "  file version " << version_text(f.file_version_ms, f.file_version_ls) << ", product version "
      << version_text(f.product_version_ms, f.product_version_ls) << ", file OS " << hex(f.file_os, 8) << ", file type "
      << hex(f.file_type) << ", flags " << hex(f.flags) << "\n";
  for (const auto& table : info->string_tables) {
    out << "  StringFileInfo " << table.key << "\n";
    for (const auto& [key, value] : table.strings) {
      out << "    " << key << " = \"" << value << "\"\n";
    }
  }
  for (const auto& t : info->translations) {
    out << "  Translation " << hex(t.language, 4) << " " << hex(t.code_page, 4) << "\n";
  }
}

}  // namespace

void print_report(std::ostream& out, const std::filesystem::path& path) {
  const PeImage image = PeImage::load(path);
  const std::uint32_t computed = compute_pe_checksum(image.bytes(), image.checksum_offset());

  out << "file:          " << path.string() << " (" << image.bytes().size() << " bytes)\n"
      << "machine:       " << machine_name(image.machine()) << " (" << hex(image.machine(), 4) << "), "
      << (image.is_pe32_plus() ? "PE32+" : "PE32") << "\n"
      << "subsystem:     " << subsystem_name(image.subsystem()) << " (" << image.subsystem() << "), version "
      << image.subsystem_version_major() << "." << image.subsystem_version_minor() << "\n"
      << "image base:    " << hex(image.image_base()) << ", size " << hex(image.size_of_image()) << "\n"
      << "flags:         " << hex(image.characteristics(), 4) << "; DllCharacteristics "
      << hex(image.dll_characteristics(), 4) << dll_flag_names(image.dll_characteristics()) << "\n";
  print_entry_point(out, image);
  out << "checksum:      stored " << hex(image.stored_checksum(), 8) << ", computed " << hex(computed, 8)
      << (image.stored_checksum() == computed ? " (valid)" : " (WRONG)") << "\n";

  out << "sections:\n";
  for (const auto& s : image.sections()) {
    out << "  " << s.name << std::string(s.name.size() < 9 ? 9 - s.name.size() : 1, ' ') << "RVA "
        << hex(s.virtual_address, 8) << " size " << hex(s.virtual_size, 8) << " " << section_access(s)
        << (s.writable() && s.executable() ? "  WRITABLE AND EXECUTABLE" : "") << "\n";
  }

  out << "imports:\n";
  for (const auto& dll : image.imports()) {
    out << "  " << dll.name << " (" << dll.routines.size() << ")\n";
    for (const auto& r : dll.routines) {
      out << "    " << (r.ordinal ? "#" + std::to_string(*r.ordinal) : r.name) << "\n";
    }
  }

  const auto relocs = image.relocations();
  std::size_t counts[16] = {};
  for (const auto& r : relocs) counts[r.type & 15]++;
  out << "relocations:   " << relocs.size();
  for (unsigned t = 0; t < 16; ++t) {
    if (counts[t]) out << ", " << counts[t] << " " << reloc_type_name(static_cast<std::uint8_t>(t));
  }
  out << "\n";
  if (image.machine() == machine::amd64) {
    out << "unwind data:   " << image.runtime_functions().size() << " runtime function(s)\n";
  }
  const auto certificates = image.certificates();
  out << "signature:     ";
  if (certificates.empty()) out << "(not signed)";
  for (const auto& c : certificates) {
    out << "WIN_CERTIFICATE revision " << hex(c.revision, 4) << " type " << hex(c.type, 4) << ", " << c.data.size()
        << " bytes; ";
  }
  out << "\n";
  print_version(out, image);
}

}  // namespace peinfo
