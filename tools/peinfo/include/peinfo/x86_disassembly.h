// x86 / x86_64 disassembly as printed by GNU objdump (AT&T syntax,
// `objdump -d -w --no-show-raw-insn`), split into instructions.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace peinfo {

struct Instruction {
    std::uint64_t address = 0;
    std::uint64_t next_address = 0;  // address of the following instruction (0 if unknown)
    std::string mnemonic;            // prefixes such as "rep" stay in front: "rep stos"
    std::vector<std::string> operands;  // AT&T order: sources first, destination last
    std::string comment;                // objdump's "# 0x..." annotation, if any
};

// Parses objdump's output; lines that are not instructions are skipped.
std::vector<Instruction> parse_objdump(std::string_view text);

// Runs `objdump -d -w --no-show-raw-insn <image>` and returns its output.
// Throws std::runtime_error with objdump's exit status when it fails.
std::string run_objdump(const std::filesystem::path& objdump, const std::filesystem::path& image);

}  // namespace peinfo
