// Finding a global variable of a loaded driver module by name, the way a
// kernel debugger resolves module!Symbol: from the symbol table of the
// module's file and the address the module was loaded at.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace pdctl {

// `file` is the module's file; `inside` any address within the loaded module
// (its entry point, say). nullopt when the file has no such symbol (stripped,
// or a different module).
std::optional<uintptr_t> findModuleSymbol(const std::string& file, const void* inside, std::string_view name);

}  // namespace pdctl
