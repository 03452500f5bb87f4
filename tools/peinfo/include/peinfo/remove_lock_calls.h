// The size argument of every remove-lock call in an image.
//
// IoInitializeRemoveLockEx, IoAcquireRemoveLockEx, IoReleaseRemoveLockEx and
// IoReleaseRemoveLockAndWaitEx take sizeof(IO_REMOVE_LOCK) as their last
// argument; the kernel tells a free-build lock from a checked-build one by
// it (0x18 on x86, 0x20 on x86_64 free builds). The argument is a constant
// at every call site, so a short walk through the disassembly recovers it:
// the walk follows constants through registers and the outgoing-argument
// area of the stack within straight-line code, forgets everything at branch
// targets, and reports a call whose argument it cannot pin down as unknown
// rather than guessing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "peinfo/x86_disassembly.h"

namespace peinfo {

class PeImage;

struct RemoveLockCall {
    std::uint64_t address = 0;  // virtual address of the call instruction
    std::string routine;
    std::optional<std::uint64_t> size;  // nullopt: not a constant the walk could follow
};

struct RemoveLockAudit {
    std::vector<RemoveLockCall> calls;
    // Instructions that take the address of a remove-lock routine (from the
    // import address table or its thunk) without the walk seeing it called.
    // Each may hide a call whose size argument went unchecked.
    std::vector<std::uint64_t> unaccounted_references;
};

// The remove-lock routines and the index of their size argument.
std::optional<unsigned> remove_lock_size_argument(const std::string& routine);

// Walks `code`, the disassembly of `image` (i386 or x86_64).
RemoveLockAudit audit_remove_lock_calls(const PeImage& image, const std::vector<Instruction>& code);

}  // namespace peinfo
