#include "peinfo/x86_disassembly.h"

#include <array>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <sys/wait.h>

namespace peinfo {

namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view trim(std::string_view s)
{
    while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
    return s;
}

bool is_hex_digit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool is_prefix(std::string_view word)
{
    static constexpr std::array prefixes{"rep", "repz", "repe", "repnz", "repne", "lock",
                                         "data16", "addr32", "notrack", "bnd", "cs", "ds",
                                         "es", "fs", "gs", "ss"};
    for (std::string_view p : prefixes) {
        if (word == p) return true;
    }
    return false;
}

// Splits "a,b(c,d),e" at the commas outside parentheses.
std::vector<std::string> split_operands(std::string_view text)
{
    std::vector<std::string> operands;
    int depth = 0;
    std::string current;
    for (char c : text) {
        if (c == '(') ++depth;
        if (c == ')') --depth;
        if (c == ',' && depth == 0) {
            operands.emplace_back(trim(current));
            current.clear();
        } else {
            current.push_back(c);
        }
    }
    if (!trim(current).empty()) {
        operands.emplace_back(trim(current));
    }
    return operands;
}

}  // namespace

// Instruction lines look like "   11054:\tmovl   $0x18,0x10(%esp)", possibly
// followed by "<symbol+off>" or "# 0x140006050" annotations.
std::vector<Instruction> parse_objdump(std::string_view text)
{
    std::vector<Instruction> out;
    bool contiguous = false;  // the previous line was an instruction
    while (!text.empty()) {
        const std::size_t eol = text.find('\n');
        std::string_view line = text.substr(0, eol);
        text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);

        std::string_view rest = trim(line);
        std::size_t n = 0;
        while (n < rest.size() && is_hex_digit(rest[n])) ++n;
        if (n == 0 || n >= rest.size() || rest[n] != ':') {
            // Headers ("00011000 <.text>:"), elided zeros ("...") and the like:
            // the next instruction need not follow the previous one.
            contiguous = false;
            continue;
        }
        Instruction insn;
        insn.address = std::stoull(std::string(rest.substr(0, n)), nullptr, 16);
        rest = trim(rest.substr(n + 1));
        if (rest.empty() || rest.starts_with("(bad)")) {
            contiguous = false;
            continue;
        }
        if (const std::size_t hash = rest.find('#'); hash != std::string_view::npos) {
            insn.comment = std::string(trim(rest.substr(hash + 1)));
            rest = trim(rest.substr(0, hash));
        }
        if (const std::size_t angle = rest.find('<'); angle != std::string_view::npos) {
            rest = trim(rest.substr(0, angle));
        }
        // Mnemonic, with any prefixes kept in front of it.
        std::string mnemonic;
        while (!rest.empty()) {
            std::size_t w = 0;
            while (w < rest.size() && !is_space(rest[w])) ++w;
            const std::string_view word = rest.substr(0, w);
            if (!mnemonic.empty()) mnemonic.push_back(' ');
            mnemonic.append(word);
            rest = trim(rest.substr(w));
            if (!is_prefix(word)) break;
        }
        insn.mnemonic = std::move(mnemonic);
        insn.operands = split_operands(rest);
        if (contiguous && out.back().address < insn.address) {
            out.back().next_address = insn.address;
        }
        out.push_back(std::move(insn));
        contiguous = true;
    }
    return out;
}

std::string run_objdump(const std::filesystem::path& objdump, const std::filesystem::path& image)
{
    // Arguments are quoted for the shell; paths with a single quote are refused.
    for (const auto& p : {objdump.string(), image.string()}) {
        if (p.find('\'') != std::string::npos) {
            throw std::runtime_error("cannot pass a path containing a quote to objdump: " + p);
        }
    }
    const std::string command = "'" + objdump.string() + "' -d -w --no-show-raw-insn '" +
                                image.string() + "' 2>&1";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe) {
        throw std::runtime_error("cannot start " + objdump.string());
    }
    std::string output;
    std::array<char, 4096> buffer;
    while (const std::size_t got = std::fread(buffer.data(), 1, buffer.size(), pipe.get())) {
        output.append(buffer.data(), got);
    }
    const int status = pclose(pipe.release());
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error(objdump.string() + " failed on " + image.string() + " (exit status " +
                                 std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) +
                                 "): " + output.substr(0, 500));
    }
    return output;
}

}  // namespace peinfo
