// Symbol addresses from a GNU ld map file (-Wl,-Map), which the image
// build writes next to every driver image. Stripped images carry no symbol
// table, so the map is how the entry point is tied to DriverEntry and how
// the constructor list is measured.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace peinfo {

class LinkerMap {
public:
    static LinkerMap load(const std::filesystem::path& path);
    static LinkerMap parse(std::string_view text);

    // Address (a virtual address: image base included) of `symbol`.
    std::optional<std::uint64_t> address_of(std::string_view symbol) const;
    // Every symbol at `address`.
    std::vector<std::string> symbols_at(std::uint64_t address) const;
    std::size_t size() const { return by_name_.size(); }

    // Number of global constructors the linker gathered between
    // __CTOR_LIST__ and __DTOR_LIST__ (two sentinel words excluded);
    // nullopt when the map lacks those symbols.
    std::optional<std::int64_t> constructor_count(unsigned pointer_size) const;

private:
    std::map<std::string, std::uint64_t, std::less<>> by_name_;
    std::multimap<std::uint64_t, std::string> by_address_;
};

}  // namespace peinfo
