#include "x86_operands.h"

#include <map>
#include <set>

namespace peinfo::x86 {

Register parse_register(std::string_view op, bool is64)
{
    if (!op.starts_with('%')) return {};
    const std::string r(op.substr(1));
    static const std::map<std::string, std::pair<std::string, unsigned>> legacy = {
        {"al", {"ax", 1}}, {"ah", {"ax", 1}}, {"ax", {"ax", 2}}, {"eax", {"ax", 4}}, {"rax", {"ax", 8}},
        {"bl", {"bx", 1}}, {"bh", {"bx", 1}}, {"bx", {"bx", 2}}, {"ebx", {"bx", 4}}, {"rbx", {"bx", 8}},
        {"cl", {"cx", 1}}, {"ch", {"cx", 1}}, {"cx", {"cx", 2}}, {"ecx", {"cx", 4}}, {"rcx", {"cx", 8}},
        {"dl", {"dx", 1}}, {"dh", {"dx", 1}}, {"dx", {"dx", 2}}, {"edx", {"dx", 4}}, {"rdx", {"dx", 8}},
        {"sil", {"si", 1}}, {"si", {"si", 2}}, {"esi", {"si", 4}}, {"rsi", {"si", 8}},
        {"dil", {"di", 1}}, {"di", {"di", 2}}, {"edi", {"di", 4}}, {"rdi", {"di", 8}},
        {"bpl", {"bp", 1}}, {"bp", {"bp", 2}}, {"ebp", {"bp", 4}}, {"rbp", {"bp", 8}},
        {"spl", {"sp", 1}}, {"sp", {"sp", 2}}, {"esp", {"sp", 4}}, {"rsp", {"sp", 8}},
    };
    if (auto it = legacy.find(r); it != legacy.end()) {
        return {(is64 ? "r" : "e") + it->second.first, it->second.second};
    }
    // r8 .. r15 with the b/w/d suffixes.
    if (is64 && r.size() >= 2 && r[0] == 'r' && r[1] >= '0' && r[1] <= '9') {
        std::size_t n = 1;
        while (n < r.size() && r[n] >= '0' && r[n] <= '9') ++n;
        const std::string suffix = r.substr(n);
        const unsigned width = suffix.empty() ? 8 : suffix == "d" ? 4 : suffix == "w" ? 2 : 1;
        return {r.substr(0, n), width};
    }
    return {};
}

std::optional<std::uint64_t> parse_number(std::string_view text)
{
    bool negative = false;
    if (text.starts_with('-')) {
        negative = true;
        text.remove_prefix(1);
    }
    if (!text.starts_with("0x")) return std::nullopt;
    text.remove_prefix(2);
    if (text.empty() || text.size() > 16) return std::nullopt;
    std::uint64_t v = 0;
    for (char c : text) {
        int d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else return std::nullopt;
        v = v * 16 + static_cast<std::uint64_t>(d);
    }
    return negative ? ~v + 1 : v;
}

std::optional<std::uint64_t> parse_target(std::string_view text)
{
    if (text.starts_with("0x")) return parse_number(text);
    if (text.empty() || text.size() > 16) return std::nullopt;
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return std::nullopt;
    }
    return parse_number("0x" + std::string(text));
}

std::pair<std::string, unsigned> split_suffix(const std::string& m)
{
    static const std::set<std::string> suffixed = {"movl", "movq", "movw", "movb", "pushl", "pushq", "subl",
                                                   "subq", "addl", "addq", "calll", "callq", "leal", "leaq",
                                                   "popl", "popq", "jmpl", "jmpq", "retl", "retq", "xorl", "xorq"};
    if (!suffixed.contains(m)) return {m, 0};
    const char s = m.back();
    return {m.substr(0, m.size() - 1), s == 'q' ? 8u : s == 'l' ? 4u : s == 'w' ? 2u : 1u};
}

bool is_conditional_branch(const std::string& m)
{
    return (m.starts_with('j') && m != "jmp") || m.starts_with("loop");
}

bool ends_flow(const std::string& m)
{
    return m == "jmp" || m == "ret" || m == "iret" || m == "lret" || m == "ud2" || m == "int3" || m == "hlt";
}

}  // namespace peinfo::x86
