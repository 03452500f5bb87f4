// Reading AT&T-syntax operands and mnemonics as objdump prints them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace peinfo::x86 {

// "%eax", "%al", "%r8d" ... -> the canonical full register name ("eax" on
// i386, "rax" on x86_64, "r8") and the width in bytes the operand names;
// an empty name for anything that is not a general register.
struct Register {
    std::string name;
    unsigned width = 0;
};
Register parse_register(std::string_view op, bool is64);

// "0x18", "-0x8" (two's complement); nullopt for anything else.
std::optional<std::uint64_t> parse_number(std::string_view text);
// A direct branch target: objdump prints "0x11150" or, with symbols, "11150".
std::optional<std::uint64_t> parse_target(std::string_view text);

// The mnemonic without its AT&T size suffix ("movl" -> "mov", 4), for the
// few mnemonics whose suffix matters here; otherwise (m, 0).
std::pair<std::string, unsigned> split_suffix(const std::string& m);

bool is_conditional_branch(const std::string& m);
// jmp, ret and the like: the next instruction is not reached from this one.
bool ends_flow(const std::string& m);

}  // namespace peinfo::x86
