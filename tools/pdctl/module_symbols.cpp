#include "module_symbols.h"

#include <dlfcn.h>
#include <elf.h>
#include <link.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

namespace pdctl {
namespace {

template <typename T>
bool readAt(const std::vector<char>& image, size_t offset, T& out) {
  if (offset > image.size() || image.size() - offset < sizeof(T)) return false;
  std::memcpy(&out, image.data() + offset, sizeof(T));
  return true;
}

// The symbol's value (its address relative to the load base), searching the given section type.
std::optional<ElfW(Addr)> lookup(const std::vector<char>& image, const ElfW(Ehdr) & header, uint32_t sectionType,
                                 std::string_view name) {
  for (size_t i = 0; i < header.e_shnum; ++i) {
    ElfW(Shdr) section;
    if (!readAt(image, header.e_shoff + i * header.e_shentsize, section) || section.sh_type != sectionType) continue;
    ElfW(Shdr) strings;
    if (section.sh_link >= header.e_shnum ||
        !readAt(image, header.e_shoff + section.sh_link * header.e_shentsize, strings)) {
      continue;
    }
    size_t count = section.sh_entsize != 0 ? section.sh_size / section.sh_entsize : 0;
    for (size_t k = 0; k < count; ++k) {
      ElfW(Sym) symbol;
      if (!readAt(image, section.sh_offset + k * section.sh_entsize, symbol)) break;
      if (symbol.st_shndx == SHN_UNDEF || ELF64_ST_TYPE(symbol.st_info) != STT_OBJECT) continue;
      size_t at = strings.sh_offset + symbol.st_name;
      if (at >= image.size() || at + name.size() >= image.size()) continue;
      if (std::memcmp(image.data() + at, name.data(), name.size()) == 0 && image[at + name.size()] == '\0') {
        return symbol.st_value;
      }
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<uintptr_t> findModuleSymbol(const std::string& file, const void* inside, std::string_view name) {
  Dl_info info{};
  link_map* map = nullptr;
  if (dladdr1(inside, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) == 0 || map == nullptr) {
    return std::nullopt;
  }
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  std::vector<char> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ElfW(Ehdr) header;
  if (!readAt(image, 0, header) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
      header.e_shentsize != sizeof(ElfW(Shdr))) {
    return std::nullopt;
  }
  auto value = lookup(image, header, SHT_SYMTAB, name);
  if (!value) value = lookup(image, header, SHT_DYNSYM, name);
  if (!value) return std::nullopt;
  return static_cast<uintptr_t>(map->l_addr + *value);
}

}  // namespace pdctl
