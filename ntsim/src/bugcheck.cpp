// Faults inside driver code become bug checks, reported as a kernel
// debugger shows them. The code follows the fault and the IRQL as on
// Windows: an invalid access at DISPATCH_LEVEL or above is 0xD1
// (DRIVER_IRQL_NOT_LESS_OR_EQUAL), below it 0x50 (PAGE_FAULT_IN_NONPAGED_AREA);
// an illegal instruction or a division by zero is 0x7E
// (SYSTEM_THREAD_EXCEPTION_NOT_HANDLED) with the exception's status.
#include "bugcheck.h"

#include "irp.h"
#include "state.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <elf.h>
#include <link.h>
#include <signal.h>
#include <unistd.h>
#include <ucontext.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

namespace ntsim {

namespace {

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE};
struct sigaction g_previous[std::size(kSignals)];
bool g_installed[std::size(kSignals)] = {};

const char* bugCheckName(ULONG code) {
  switch (code) {
    case 0x50: return "PAGE_FAULT_IN_NONPAGED_AREA";
    case 0x7E: return "SYSTEM_THREAD_EXCEPTION_NOT_HANDLED";
    case 0xD1: return "DRIVER_IRQL_NOT_LESS_OR_EQUAL";
    case 0xC4: return "DRIVER_VERIFIER_DETECTED_VIOLATION";
    default: return "BUGCHECK";
  }
}

const char* majorName(UCHAR major) {
  static const char* const kNames[] = {"IRP_MJ_CREATE",
                                       "IRP_MJ_CREATE_NAMED_PIPE",
                                       "IRP_MJ_CLOSE",
                                       "IRP_MJ_READ",
                                       "IRP_MJ_WRITE",
                                       "IRP_MJ_QUERY_INFORMATION",
                                       "IRP_MJ_SET_INFORMATION",
                                       "IRP_MJ_QUERY_EA",
                                       "IRP_MJ_SET_EA",
                                       "IRP_MJ_FLUSH_BUFFERS",
                                       "IRP_MJ_QUERY_VOLUME_INFORMATION",
                                       "IRP_MJ_SET_VOLUME_INFORMATION",
                                       "IRP_MJ_DIRECTORY_CONTROL",
                                       "IRP_MJ_FILE_SYSTEM_CONTROL",
                                       "IRP_MJ_DEVICE_CONTROL",
                                       "IRP_MJ_INTERNAL_DEVICE_CONTROL",
                                       "IRP_MJ_SHUTDOWN",
                                       "IRP_MJ_LOCK_CONTROL",
                                       "IRP_MJ_CLEANUP",
                                       "IRP_MJ_CREATE_MAILSLOT",
                                       "IRP_MJ_QUERY_SECURITY",
                                       "IRP_MJ_SET_SECURITY",
                                       "IRP_MJ_POWER",
                                       "IRP_MJ_SYSTEM_CONTROL",
                                       "IRP_MJ_DEVICE_CHANGE",
                                       "IRP_MJ_QUERY_QUOTA",
                                       "IRP_MJ_SET_QUOTA",
                                       "IRP_MJ_PNP"};
  return major < std::size(kNames) ? kNames[major] : "?";
}

template <typename T>
bool readAt(const std::vector<char>& image, size_t offset, T& out) {
  if (offset > image.size() || image.size() - offset < sizeof(T)) return false;
  std::memcpy(&out, image.data() + offset, sizeof(T));
  return true;
}

// The function symbol of the module file that holds `offset` (relative to the load base).
std::optional<std::pair<std::string, uint64_t>> functionAt(const std::string& file, uint64_t offset) {
  std::ifstream in(file, std::ios::binary);
  std::vector<char> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ElfW(Ehdr) header;
  if (!readAt(image, 0, header) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0) return std::nullopt;
  for (uint32_t type : {uint32_t{SHT_SYMTAB}, uint32_t{SHT_DYNSYM}}) {
    for (size_t i = 0; i < header.e_shnum; ++i) {
      ElfW(Shdr) section, strings;
      if (!readAt(image, header.e_shoff + i * header.e_shentsize, section) || section.sh_type != type) continue;
      if (!readAt(image, header.e_shoff + section.sh_link * header.e_shentsize, strings)) continue;
      size_t count = section.sh_entsize != 0 ? section.sh_size / section.sh_entsize : 0;
      for (size_t k = 0; k < count; ++k) {
        ElfW(Sym) symbol;
        if (!readAt(image, section.sh_offset + k * section.sh_entsize, symbol)) break;
        if (ELF64_ST_TYPE(symbol.st_info) != STT_FUNC || symbol.st_shndx == SHN_UNDEF) continue;
        if (offset < symbol.st_value || offset >= symbol.st_value + std::max<uint64_t>(symbol.st_size, 1)) continue;
        size_t at = strings.sh_offset + symbol.st_name;
        if (at >= image.size()) continue;
        std::string name(image.data() + at, strnlen(image.data() + at, image.size() - at));
        int status = 0;
        if (char* plain = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status)) {
          name = plain;
          std::free(plain);
          name = name.substr(0, name.find('('));
        }
        return std::make_pair(name, offset - symbol.st_value);
      }
    }
  }
  return std::nullopt;
}

std::string lastDebuggerLines(MachineState& s, size_t count) {
  std::vector<std::string> texts;
  for (const auto& record : s.kd.records()) texts.push_back(record.text);
  if (texts.empty()) {
    // Nothing captured (a live view only echoes): the texts the echo saw last.
    std::lock_guard lock(s.kdEchoMutex);
    texts.assign(s.kdRecent.begin(), s.kdRecent.end());
  }
  std::string out;
  for (size_t i = texts.size() > count ? texts.size() - count : 0; i < texts.size(); ++i) {
    std::string line = texts[i];
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    out += (out.empty() ? "\"" : " | \"") + line + "\"";
  }
  return out.empty() ? "(none recorded)" : out;
}

void onFault(int signal, siginfo_t* info, void* context) {
  Machine* machine = Machine::currentOrNull();
  auto* uc = static_cast<ucontext_t*>(context);
  uintptr_t pc = 0;
  bool write = false;
#if defined(__x86_64__)
  pc = static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]);
  write = (uc->uc_mcontext.gregs[REG_ERR] & 2) != 0;
#elif defined(__aarch64__)
  pc = static_cast<uintptr_t>(uc->uc_mcontext.pc);
#endif
  if (machine == nullptr || machine->state().ownerOf(reinterpret_cast<void*>(pc)) == nullptr) {
    // Not driver code: the fault is the host's (or ntsim's) own, and goes where it would have gone.
    for (size_t i = 0; i < std::size(kSignals); ++i) {
      if (kSignals[i] == signal) sigaction(signal, &g_previous[i], nullptr);
    }
    return;
  }
  auto& s = machine->state();
  auto address = reinterpret_cast<ULONG_PTR>(info->si_addr);
  KIRQL irql = KeGetCurrentIrql();
  ULONG code;
  ULONG_PTR parameters[4] = {};
  if (signal == SIGSEGV || signal == SIGBUS) {
    if (irql >= DISPATCH_LEVEL) {
      code = 0xD1;
      parameters[0] = address, parameters[1] = irql, parameters[2] = write, parameters[3] = pc;
    } else {
      code = 0x50;
      parameters[0] = address, parameters[1] = write, parameters[2] = pc;
    }
  } else {
    code = 0x7E;
    parameters[0] = static_cast<ULONG>(signal == SIGILL ? STATUS_ILLEGAL_INSTRUCTION : STATUS_INTEGER_DIVIDE_BY_ZERO);
    parameters[1] = pc;
  }
  bugCheck(s, code, parameters, symbolize(s, pc).value_or(hex(pc)));
}

}  // namespace

std::optional<std::string> symbolize(MachineState& s, uintptr_t address) {
  const Driver* driver = s.ownerOf(reinterpret_cast<void*>(address));
  if (driver == nullptr) return std::nullopt;
  Dl_info info{};
  link_map* map = nullptr;
  if (dladdr1(reinterpret_cast<void*>(address), &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) == 0 ||
      map == nullptr) {
    return driver->name() + "+" + hex(address);
  }
  uint64_t offset = address - map->l_addr;
  if (auto function = functionAt(driver->path(), offset)) {
    return driver->name() + "!" + function->first + "+" + hex(function->second);
  }
  return driver->name() + "+" + hex(offset);
}

void bugCheck(MachineState& s, ULONG code, const ULONG_PTR (&parameters)[4], const std::string& where) {
  char head[160];
  std::snprintf(head, sizeof head, "0x%X %s (%s, %s, %s, %s)", code, bugCheckName(code), hex(parameters[0]).c_str(),
                hex(parameters[1]).c_str(), hex(parameters[2]).c_str(), hex(parameters[3]).c_str());
  std::string irpText = "no IRP";
  if (PIRP irp = dispatchingIrp()) {
    irpText = "IRP " + describeIrp(irp) + " (" + majorName(IoGetCurrentIrpStackLocation(irp)->MajorFunction) + ")";
  }
  std::string detail = std::string(head) + " in " + where + " at IRQL " + std::to_string(KeGetCurrentIrql()) +
                       " while dispatching " + irpText + "; last debugger lines: " + lastDebuggerLines(s, 5);
  std::fflush(stdout);
  bool echoed;
  {
    std::lock_guard lock(s.verifierMutex);
    echoed = static_cast<bool>(s.violationEcho);
  }
  s.report("BUGCHECK", detail);
  // A host that shows verifier reports has shown it; any other gets it on standard error.
  if (!echoed) std::fprintf(stderr, "ntsim: bug check %s\n", detail.c_str());
  std::fflush(stdout);
  std::fflush(stderr);
  _exit(2);
}

void installCrashHandler() {
  for (size_t i = 0; i < std::size(kSignals); ++i) {
    struct sigaction current {};
    sigaction(kSignals[i], nullptr, &current);
    g_installed[i] = !(current.sa_flags & SA_SIGINFO) && current.sa_handler == SIG_DFL;
    if (!g_installed[i]) continue;
    struct sigaction action {};
    action.sa_sigaction = onFault;
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    sigaction(kSignals[i], &action, &g_previous[i]);
  }
}

void removeCrashHandler() {
  for (size_t i = 0; i < std::size(kSignals); ++i) {
    if (g_installed[i]) sigaction(kSignals[i], &g_previous[i], nullptr);
    g_installed[i] = false;
  }
}

}  // namespace ntsim
