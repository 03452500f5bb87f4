#include "peinfo/remove_lock_calls.h"

#include <algorithm>
#include <deque>
#include <map>
#include <set>
#include <stdexcept>
#include <string_view>

#include "peinfo/pe_image.h"
#include "x86_operands.h"

namespace peinfo {

namespace {

using x86::ends_flow;
using x86::is_conditional_branch;
using x86::parse_number;
using x86::parse_register;
using x86::parse_target;
using x86::Register;
using x86::split_suffix;

// What the walk knows about a register or a stack slot.
struct Value {
    enum class Kind { unknown, constant, loaded };  // loaded: the contents of memory at `v`
    Kind kind = Kind::unknown;
    std::uint64_t v = 0;
    // Instructions that took an address this value came from; a call made
    // through the value accounts for them.
    std::vector<std::uint64_t> origins;

    static Value constant(std::uint64_t v, std::uint64_t origin = 0)
    {
        return {Kind::constant, v, origin ? std::vector<std::uint64_t>{origin} : std::vector<std::uint64_t>{}};
    }
    static Value loaded(std::uint64_t address, std::uint64_t origin) { return {Kind::loaded, address, {origin}}; }
    bool same_as(const Value& o) const { return kind == o.kind && v == o.v; }
};

// Registers and the stack slots above the stack pointer (offset -> value).
struct State {
    std::map<std::string, Value> regs;
    std::map<std::int64_t, Value> slots;

    // What holds on two paths into the same instruction: the facts they share.
    void meet(const State& other)
    {
        meet_map(regs, other.regs);
        meet_map(slots, other.slots);
    }
    bool operator==(const State& o) const { return same(regs, o.regs) && same(slots, o.slots); }

private:
    template <typename Map>
    static void meet_map(Map& mine, const Map& theirs)
    {
        for (auto it = mine.begin(); it != mine.end();) {
            auto found = theirs.find(it->first);
            if (found == theirs.end() || !found->second.same_as(it->second)) {
                it = mine.erase(it);
                continue;
            }
            auto& origins = it->second.origins;
            origins.insert(origins.end(), found->second.origins.begin(), found->second.origins.end());
            std::sort(origins.begin(), origins.end());
            origins.erase(std::unique(origins.begin(), origins.end()), origins.end());
            ++it;
        }
    }
    template <typename Map>
    static bool same(const Map& a, const Map& b)
    {
        if (a.size() != b.size()) return false;
        for (auto i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j) {
            if (i->first != j->first || !i->second.same_as(j->second) || i->second.origins != j->second.origins) {
                return false;
            }
        }
        return true;
    }
};

struct Abi {
    bool is64 = false;
    unsigned slot = 4;  // bytes per push / argument slot
    std::string sp;     // canonical stack pointer name
    std::vector<std::string> argument_registers;
    std::vector<std::string> call_clobbered;

    static Abi for_machine(std::uint16_t m)
    {
        if (m == machine::amd64) {
            return {true, 8, "rsp", {"rcx", "rdx", "r8", "r9"}, {"rax", "rcx", "rdx", "r8", "r9", "r10", "r11"}};
        }
        return {false, 4, "esp", {}, {"eax", "ecx", "edx"}};
    }
};

class Walker {
public:
    Walker(const PeImage& image, const std::vector<Instruction>& code)
        : image_(image), code_(code), abi_(Abi::for_machine(image.machine()))
    {
        for (std::size_t i = 0; i < code_.size(); ++i) index_[code_[i].address] = i;
        for (const auto& dll : image.imports()) {
            for (const auto& routine : dll.routines) {
                if (!routine.name.empty()) iat_[routine.iat_address] = routine.name;
            }
        }
        find_thunks();
        find_block_starts();
    }

    RemoveLockAudit run()
    {
        solve();
        // Blocks nothing visible flows into are entered from somewhere the
        // walk cannot see (a function reached through a pointer the code
        // computes, say): they start with nothing known.
        for (;;) {
            std::vector<std::size_t> unreached;
            for (std::size_t start : starts_) {
                if (!state_in_.contains(start)) unreached.push_back(start);
            }
            if (unreached.empty()) break;
            for (std::size_t start : unreached) opaque_entries_.insert(start);
            solve();
        }
        // With the states at every block start settled, one more pass records.
        recording_ = true;
        for (std::size_t start : starts_) {
            if (auto it = state_in_.find(start); it != state_in_.end()) walk_block(start, it->second);
        }
        for (std::uint64_t at : references_) {
            if (!consumed_.contains(at)) audit_.unaccounted_references.push_back(at);
        }
        std::sort(audit_.calls.begin(), audit_.calls.end(),
                  [](const RemoveLockCall& a, const RemoveLockCall& b) { return a.address < b.address; });
        return audit_;
    }

private:
    // "jmp *IAT": the stub the linker emits for a routine called without dllimport.
    void find_thunks()
    {
        for (const auto& insn : code_) {
            const auto [m, width] = split_suffix(insn.mnemonic);
            if (m != "jmp" || insn.operands.size() != 1 || !insn.operands[0].starts_with('*')) continue;
            if (auto slot = memory_address(insn, std::string_view(insn.operands[0]).substr(1));
                slot && iat_.contains(*slot)) {
                thunks_[insn.address] = *slot;
            }
        }
    }

    // Blocks start at branch targets, after branches, and at addresses
    // entered from places the walk cannot see: call targets, code addresses
    // stored in data (function pointers, jump tables) and the first
    // instruction. Those entries start with nothing known.
    void find_block_starts()
    {
        if (code_.empty()) return;
        std::set<std::size_t> starts{0};
        opaque_entries_.insert(0);
        auto mark = [&](std::uint64_t address, bool opaque) {
            if (auto it = index_.find(address); it != index_.end()) {
                starts.insert(it->second);
                if (opaque) opaque_entries_.insert(it->second);
            }
        };
        for (std::size_t i = 0; i < code_.size(); ++i) {
            const auto [m, width] = split_suffix(code_[i].mnemonic);
            const bool call = m == "call";
            const bool branch = m == "jmp" || is_conditional_branch(m);
            if ((call || branch) && code_[i].operands.size() == 1) {
                if (auto target = parse_target(code_[i].operands[0])) mark(*target, call);
            }
            if ((branch || ends_flow(m)) && i + 1 < code_.size()) starts.insert(i + 1);
            // Code addresses taken as values ("$0x11020", "lea 0x..(%rip)")
            // become function pointers: entered from anywhere.
            if (!call && !branch) {
                for (const auto& op : code_[i].operands) {
                    if (op.starts_with('$')) {
                        if (auto v = parse_number(std::string_view(op).substr(1))) mark(*v, true);
                    } else if (auto address = memory_address(code_[i], op); address && m == "lea") {
                        mark(*address, true);
                    }
                }
            }
            if (i > 0 && code_[i - 1].next_address == 0) {
                starts.insert(i);  // not contiguous with the line before
                opaque_entries_.insert(i);
            }
        }
        const unsigned ptr = image_.pointer_size();
        for (const auto& reloc : image_.relocations()) {
            if (reloc.type != reloc_type::highlow && reloc.type != reloc_type::dir64) continue;
            std::uint64_t value = 0;
            try {
                auto bytes = image_.at_rva(reloc.rva, ptr, "relocated pointer");
                for (unsigned b = 0; b < ptr; ++b) value |= static_cast<std::uint64_t>(bytes[b]) << (8 * b);
            } catch (const std::exception&) {
                continue;  // a fixup inside zero-filled data holds no code address
            }
            mark(value, true);
        }
        starts_.assign(starts.begin(), starts.end());
        for (std::size_t s : starts_) is_start_.insert(s);
    }

    // Forward data flow to a fixed point: a block's entry state is the meet
    // of the states flowing into it.
    void solve()
    {
        std::deque<std::size_t> work;
        for (std::size_t s : opaque_entries_) {
            state_in_[s] = State{};
            work.push_back(s);
        }
        std::set<std::size_t> queued(opaque_entries_.begin(), opaque_entries_.end());
        while (!work.empty()) {
            const std::size_t start = work.front();
            work.pop_front();
            queued.erase(start);
            for (auto& [target, state] : walk_block(start, state_in_.at(start))) {
                auto it = state_in_.find(target);
                if (it == state_in_.end()) {
                    state_in_.emplace(target, std::move(state));
                } else {
                    State merged = it->second;
                    merged.meet(state);
                    if (merged == it->second) continue;
                    it->second = std::move(merged);
                }
                if (queued.insert(target).second) work.push_back(target);
            }
        }
    }

    // Runs the block at `start`; returns the states it passes to other blocks.
    std::vector<std::pair<std::size_t, State>> walk_block(std::size_t start, State state)
    {
        std::vector<std::pair<std::size_t, State>> out;
        auto pass_to = [&](std::uint64_t address, const State& s) {
            if (auto it = index_.find(address); it != index_.end() && !opaque_entries_.contains(it->second)) {
                out.emplace_back(it->second, s);
            }
        };
        for (std::size_t i = start; i < code_.size(); ++i) {
            if (i != start && is_start_.contains(i)) {
                if (!opaque_entries_.contains(i)) out.emplace_back(i, state);
                break;
            }
            const Instruction& insn = code_[i];
            const auto [m, width] = split_suffix(insn.mnemonic);
            if (is_conditional_branch(m) && insn.operands.size() == 1) {
                if (auto target = parse_target(insn.operands[0])) pass_to(*target, state);
            }
            if (m == "jmp" && insn.operands.size() == 1 && !insn.operands[0].starts_with('*')) {
                if (auto target = parse_target(insn.operands[0])) pass_to(*target, state);
                break;
            }
            step(insn, state);
            if (ends_flow(m)) break;
        }
        return out;
    }

    // Absolute address named by a memory operand: "0x15054", or
    // "0x4f22(%rip)" resolved with objdump's annotation or the next address.
    std::optional<std::uint64_t> memory_address(const Instruction& insn, std::string_view op) const
    {
        if (op.ends_with("(%rip)")) {
            if (auto annotated = parse_number(std::string_view(insn.comment).substr(0, insn.comment.find(' ')))) {
                return annotated;
            }
            auto disp = parse_number(op.substr(0, op.size() - 6));
            if (!disp || insn.next_address == 0) return std::nullopt;
            return insn.next_address + *disp;
        }
        if (op.find('(') != std::string_view::npos || op.starts_with('$') || op.starts_with('%')) {
            return std::nullopt;
        }
        return parse_number(op);
    }

    // Offset from the stack pointer of "0x10(%esp)" / "(%rsp)".
    std::optional<std::int64_t> stack_slot(std::string_view op) const
    {
        const std::string suffix = "(%" + abi_.sp + ")";
        if (!op.ends_with(suffix)) return std::nullopt;
        const std::string_view disp = op.substr(0, op.size() - suffix.size());
        if (disp.empty()) return 0;
        auto v = parse_number(disp);
        if (!v) return std::nullopt;
        return static_cast<std::int64_t>(*v);
    }

    // Notes instructions that take a remove-lock routine's IAT slot or thunk.
    bool is_remove_lock_address(std::uint64_t address) const
    {
        std::uint64_t slot = address;
        if (auto t = thunks_.find(address); t != thunks_.end()) slot = t->second;
        auto it = iat_.find(slot);
        return it != iat_.end() && remove_lock_size_argument(it->second).has_value();
    }

    Value evaluate(const Instruction& insn, std::string_view op, const State& state)
    {
        if (op.starts_with('$')) {
            auto v = parse_number(op.substr(1));
            if (!v) return {};
            if (is_remove_lock_address(*v)) {
                references_.insert(insn.address);
                return Value::constant(*v, insn.address);
            }
            return Value::constant(*v);
        }
        if (Register r = parse_register(op, abi_.is64); !r.name.empty()) {
            auto it = state.regs.find(r.name);
            if (it == state.regs.end() || r.width < 4) return {};
            Value v = it->second;
            if (v.kind == Value::Kind::constant && r.width == 4) v.v &= 0xffffffffu;
            return v;
        }
        if (auto slot = stack_slot(op)) {
            auto it = state.slots.find(*slot);
            return it == state.slots.end() ? Value{} : it->second;
        }
        if (auto address = memory_address(insn, op)) {
            if (is_remove_lock_address(*address)) references_.insert(insn.address);
            return Value::loaded(*address, insn.address);
        }
        return {};
    }

    // esp/rsp moved down by `delta` bytes: every known slot is further up.
    static void shift(State& state, std::int64_t delta)
    {
        std::map<std::int64_t, Value> moved;
        for (auto& [offset, value] : state.slots) {
            if (offset + delta >= 0) moved[offset + delta] = std::move(value);
        }
        state.slots = std::move(moved);
    }

    void write_register(State& state, const Register& r, Value v) const
    {
        if (r.name.empty()) return;
        if (r.name == abi_.sp) {
            state.slots.clear();
            return;
        }
        if (r.width < 4) v = {};
        state.regs[r.name] = std::move(v);
    }

    // The destination `op` receives something the walk does not follow.
    void clobber(State& state, std::string_view op) const
    {
        if (Register r = parse_register(op, abi_.is64); !r.name.empty()) {
            write_register(state, r, {});
        } else if (auto slot = stack_slot(op)) {
            state.slots.erase(*slot);
        }
    }

    void clobber_registers(State& state, std::initializer_list<const char*> names32) const
    {
        for (const char* n : names32) {
            std::string name = n;
            if (abi_.is64) name[0] = 'r';
            state.regs.erase(name);
        }
    }

    std::string resolve_call_target(const Instruction& insn, const State& state)
    {
        if (insn.operands.size() != 1) return {};
        const std::string& op = insn.operands[0];
        Value target;
        if (op.starts_with('*')) {
            target = evaluate(insn, std::string_view(op).substr(1), state);
        } else if (auto direct = parse_target(op)) {
            target = Value::constant(*direct);
        }
        std::uint64_t slot = 0;
        if (target.kind == Value::Kind::loaded) {
            slot = target.v;
        } else if (target.kind == Value::Kind::constant) {
            auto t = thunks_.find(target.v);
            if (t == thunks_.end()) return {};
            slot = t->second;
        } else {
            return {};
        }
        auto it = iat_.find(slot);
        if (it == iat_.end()) return {};
        if (recording_) {
            consumed_.insert(insn.address);
            consumed_.insert(target.origins.begin(), target.origins.end());
        }
        return it->second;
    }

    std::optional<std::uint64_t> argument(const State& state, unsigned index) const
    {
        const Value* v = nullptr;
        if (index < abi_.argument_registers.size()) {
            if (auto it = state.regs.find(abi_.argument_registers[index]); it != state.regs.end()) v = &it->second;
        } else if (auto it = state.slots.find(static_cast<std::int64_t>(index) * abi_.slot); it != state.slots.end()) {
            v = &it->second;
        }
        if (!v || v->kind != Value::Kind::constant) return std::nullopt;
        return v->v;
    }

    void step(const Instruction& insn, State& state)
    {
        const auto [m, store_width] = split_suffix(insn.mnemonic);
        const auto& ops = insn.operands;
        const std::string* dst = ops.empty() ? nullptr : &ops.back();
        auto read_sources = [&] {
            for (std::size_t i = 0; i + 1 < ops.size(); ++i) {
                if (!ops[i].starts_with('%') && !ops[i].starts_with('$')) evaluate(insn, ops[i], state);
            }
        };

        if (m == "call") {
            const std::string routine = resolve_call_target(insn, state);
            if (auto index = remove_lock_size_argument(routine); index && recording_) {
                audit_.calls.push_back({insn.address, routine, argument(state, *index)});
            }
            state.slots.clear();  // the callee owns its argument area
            for (const auto& r : abi_.call_clobbered) state.regs.erase(r);
            return;
        }
        if (ends_flow(m)) {
            if (m == "jmp" && ops.size() == 1 && ops[0].starts_with('*')) {
                evaluate(insn, std::string_view(ops[0]).substr(1), state);  // a thunk or a tail call
                if (thunks_.contains(insn.address) && recording_) consumed_.insert(insn.address);
            }
            return;
        }
        if (m == "push") {
            Value v = ops.size() == 1 ? evaluate(insn, ops[0], state) : Value{};
            shift(state, abi_.slot);
            state.slots[0] = std::move(v);
            return;
        }
        if (m == "pop") {
            Value v;
            if (auto it = state.slots.find(0); it != state.slots.end()) v = it->second;
            shift(state, -static_cast<std::int64_t>(abi_.slot));
            if (dst) write_register(state, parse_register(*dst, abi_.is64), std::move(v));
            return;
        }
        if (m == "leave") {
            state.slots.clear();
            clobber_registers(state, {"ebp"});
            return;
        }
        if (m == "mov" && ops.size() == 2) {
            const Register d = parse_register(ops[1], abi_.is64);
            if (!d.name.empty()) {
                write_register(state, d, evaluate(insn, ops[0], state));
                return;
            }
            if (auto slot = stack_slot(ops[1])) {
                const Register s = parse_register(ops[0], abi_.is64);
                const unsigned width = store_width ? store_width : s.width;
                if (width >= 4) {
                    state.slots[*slot] = evaluate(insn, ops[0], state);
                } else {
                    state.slots.erase(*slot);
                }
                return;
            }
            evaluate(insn, ops[0], state);  // a store elsewhere; note what it reads
            return;
        }
        if ((m == "sub" || m == "add") && ops.size() == 2 && parse_register(ops[1], abi_.is64).name == abi_.sp) {
            if (auto n = ops[0].starts_with('$') ? parse_number(std::string_view(ops[0]).substr(1)) : std::nullopt) {
                const auto delta = static_cast<std::int64_t>(*n);
                shift(state, m == "sub" ? delta : -delta);
            } else {
                state.slots.clear();
            }
            return;
        }
        if (m == "lea" && ops.size() == 2 && parse_register(ops[1], abi_.is64).name == abi_.sp) {
            if (auto slot = stack_slot(ops[0])) {
                shift(state, -*slot);
            } else {
                state.slots.clear();
            }
            return;
        }
        if (m == "xor" && ops.size() == 2 && ops[0] == ops[1]) {
            write_register(state, parse_register(ops[1], abi_.is64), Value::constant(0));
            return;
        }

        // Instructions that write nothing the walk tracks.
        static const std::set<std::string> no_effect = {
            "cmp", "cmpl", "cmpb", "cmpw", "cmpq", "test", "testl", "testb", "testw", "testq", "nop", "nopl",
            "nopw", "bt", "btl", "lfence", "mfence", "sfence", "pause", "cld", "std", "clc", "stc", "endbr32",
            "endbr64", "prefetcht0", "prefetchw", "ds nop", "cs nopw", "data16 cs nopw"};
        if (no_effect.contains(m) || is_conditional_branch(m)) {
            for (const auto& op : ops) {
                if (!op.starts_with('%') && !op.starts_with('$')) evaluate(insn, op, state);
            }
            return;
        }
        // Instructions whose only tracked effect is on their destination.
        static const std::set<std::string> writes_destination = {
            "add", "sub", "and", "or", "xor", "adc", "sbb", "shl", "shr", "sar", "rol", "ror", "rcl", "rcr",
            "inc", "dec", "neg", "not", "lea", "movzbl", "movzwl", "movsbl", "movswl", "movzbw", "movsbw",
            "movslq", "movzbq", "movzwq", "movsbq", "movswq", "movzx", "movsx", "bswap", "shld", "shrd", "bsf",
            "bsr", "tzcnt", "lzcnt", "popcnt", "andl", "orl", "andq", "orq", "incl", "decl", "shll", "shrl",
            "sarl", "negl", "notl", "bts", "btr", "btc", "andb", "orb", "andw", "orw", "incw", "decw"};
        if (writes_destination.contains(m) || m.starts_with("set") || m.starts_with("cmov") ||
            (m.starts_with("imul") && ops.size() >= 2)) {
            read_sources();
            if (dst) {
                if (parse_register(*dst, abi_.is64).name == abi_.sp) {
                    state.slots.clear();
                } else {
                    clobber(state, *dst);
                }
            }
            return;
        }
        if (m == "xchg" || m == "xadd" || m == "cmpxchg" || m.starts_with("lock ")) {
            for (const auto& op : ops) clobber(state, op);
            clobber_registers(state, {"eax"});
            return;
        }
        if (m == "cltd" || m == "cqto" || m == "cdq") {
            clobber_registers(state, {"edx"});
            return;
        }
        if (m == "cwtl" || m == "cltq" || m == "cbtw") {
            clobber_registers(state, {"eax"});
            return;
        }
        if (m == "mul" || m == "mull" || m == "div" || m == "divl" || m == "idiv" || m == "idivl" || m == "imul" ||
            m == "imull") {
            clobber_registers(state, {"eax", "edx"});
            return;
        }
        // String instructions write through edi, possibly into the stack.
        for (const char* s : {"movs", "stos", "lods", "scas", "cmps"}) {
            if (m.find(s) != std::string::npos) {
                clobber_registers(state, {"eax", "ecx", "esi", "edi"});
                state.slots.clear();
                return;
            }
        }
        // Anything else: forget everything it could have touched.
        state = State{};
    }

    const PeImage& image_;
    const std::vector<Instruction>& code_;
    Abi abi_;
    std::map<std::uint64_t, std::size_t> index_;     // address -> instruction index
    std::map<std::uint64_t, std::string> iat_;       // IAT slot -> routine
    std::map<std::uint64_t, std::uint64_t> thunks_;  // thunk address -> IAT slot
    std::vector<std::size_t> starts_;
    std::set<std::size_t> is_start_;
    std::set<std::size_t> opaque_entries_;
    std::map<std::size_t, State> state_in_;
    bool recording_ = false;
    std::set<std::uint64_t> references_;
    std::set<std::uint64_t> consumed_;
    RemoveLockAudit audit_;
};

}  // namespace

std::optional<unsigned> remove_lock_size_argument(const std::string& routine)
{
    if (routine == "IoInitializeRemoveLockEx" || routine == "IoAcquireRemoveLockEx") return 4;
    if (routine == "IoReleaseRemoveLockEx" || routine == "IoReleaseRemoveLockAndWaitEx") return 2;
    return std::nullopt;
}

RemoveLockAudit audit_remove_lock_calls(const PeImage& image, const std::vector<Instruction>& code)
{
    if (image.machine() != machine::i386 && image.machine() != machine::amd64) {
        throw std::runtime_error(image.name() + ": remove-lock calls can only be traced in i386 and x86_64 images");
    }
    return Walker(image, code).run();
}

}  // namespace peinfo
