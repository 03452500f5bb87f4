// Bug checks: a fault inside driver code (access violation, illegal
// instruction, division by zero) or a driver's KeBugCheckEx stops the
// machine as Windows stops: a report naming the bug check code and its
// parameters, the module, routine and offset, the IRP being dispatched and
// the last debugger lines, through the verifier's reporting path (rule
// BUGCHECK), then the process ends with exit status 2.
#pragma once

#include <ntsim/ntsim.h>

#include <cstdint>
#include <optional>
#include <string>

namespace ntsim {

struct MachineState;

// Catches the faults while a machine exists; a host that handles these
// signals itself (a sanitizer, a fuzzer) keeps its own handler.
void installCrashHandler();
void removeCrashHandler();

// "module!Routine+0x1c" for a code address inside a loaded driver, from the
// module's symbol table; nullopt when no driver holds the address.
std::optional<std::string> symbolize(MachineState& s, uintptr_t address);

[[noreturn]] void bugCheck(MachineState& s, ULONG code, const ULONG_PTR (&parameters)[4], const std::string& where);

}  // namespace ntsim
