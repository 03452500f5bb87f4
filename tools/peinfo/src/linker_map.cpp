#include "peinfo/linker_map.h"

#include <fstream>
#include <sstream>

#include "peinfo/format_error.h"

namespace peinfo {

namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view trim(std::string_view s)
{
    while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
    return s;
}

// Splits off the first whitespace-separated token.
std::string_view next_token(std::string_view& s)
{
    s = trim(s);
    std::size_t n = 0;
    while (n < s.size() && !is_space(s[n])) ++n;
    std::string_view token = s.substr(0, n);
    s.remove_prefix(n);
    return token;
}

std::optional<std::uint64_t> parse_hex_address(std::string_view token)
{
    if (token.size() < 3 || token[0] != '0' || (token[1] != 'x' && token[1] != 'X')) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (char c : token.substr(2)) {
        int digit;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        else return std::nullopt;
        value = value * 16 + static_cast<std::uint64_t>(digit);
    }
    return value;
}

}  // namespace

LinkerMap LinkerMap::load(const std::filesystem::path& path)
{
    std::ifstream in(path);
    if (!in) {
        throw FormatError(path.string() + ": cannot open the linker map (the image build writes "
                          "<image>.map next to each driver image)");
    }
    std::ostringstream text;
    text << in.rdbuf();
    return parse(text.str());
}

// Symbol lines look like
//     "                0x00011020                DriverEntry@8"
//     "                0x00011158                ___CTOR_LIST__ = ."
// An address, then one name, optionally followed by an assignment. Lines
// for input sections start with the section name, fill and data lines
// carry a size after the address: neither matches.
LinkerMap LinkerMap::parse(std::string_view text)
{
    LinkerMap map;
    while (!text.empty()) {
        const std::size_t eol = text.find('\n');
        std::string_view line = text.substr(0, eol);
        text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
        if (line.empty() || !is_space(line.front())) {
            continue;
        }
        std::string_view rest = line;
        const auto address = parse_hex_address(next_token(rest));
        if (!address) {
            continue;
        }
        const std::string_view name = next_token(rest);
        if (name.empty() || name == "." || name.starts_with("0x") || name.find('(') != name.npos) {
            continue;
        }
        rest = trim(rest);
        if (!rest.empty() && !rest.starts_with("=")) {
            continue;
        }
        map.by_name_.emplace(std::string(name), *address);
        map.by_address_.emplace(*address, std::string(name));
    }
    return map;
}

std::optional<std::uint64_t> LinkerMap::address_of(std::string_view symbol) const
{
    if (auto it = by_name_.find(symbol); it != by_name_.end()) {
        return it->second;
    }
    return std::nullopt;
}

std::vector<std::string> LinkerMap::symbols_at(std::uint64_t address) const
{
    std::vector<std::string> names;
    auto [first, last] = by_address_.equal_range(address);
    for (auto it = first; it != last; ++it) {
        names.push_back(it->second);
    }
    return names;
}

std::optional<std::int64_t> LinkerMap::constructor_count(unsigned pointer_size) const
{
    const auto ctors = address_of("__CTOR_LIST__");
    const auto dtors = address_of("__DTOR_LIST__");
    if (!ctors || !dtors || *dtors < *ctors) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>((*dtors - *ctors) / pointer_size) - 2;
}

}  // namespace peinfo
