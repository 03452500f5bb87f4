// The command table: each command's name, usage, explanation and handler;
// finding a command by name, running it, and the help built from the table.
#include "commands.h"

#include "command_args.h"
#include "device_commands.h"
#include "errors.h"
#include "ntsim_commands.h"
#include "numbers.h"
#include "session.h"

namespace pdctl {
namespace {

void cmdHelp(Session& s, Args& a) {
  a.count(0, 1);
  std::string text = helpText(a.size() == 1 ? a.text(0) : std::string_view{});
  Result result = s.localResult("help", a.size() == 1 ? a.text(0) : std::string("commands"));
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    result.lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  result.fields = {{"text", text}};
  s.report(std::move(result));
}

void cmdQuit(Session&, Args& a) { a.count(0, 0); }

struct CommandSpec {
  std::string_view name;
  std::string_view usage;
  std::string_view explanation;
  CommandHandler run;
};

constexpr CommandSpec kCommands[] = {
    {"open", "open [PATH]",
     "Opens \\\\.\\DEVICE followed by PATH (as given, e.g. \\more) and prints the handle number (1, 2, ...).", cmdOpen},
    {"close", "close [H]", "Closes handle H (default: the most recently opened).", cmdClose},
    {"write", "write [H] TEXT | hex:HEX | fill:BYTE:N",
     "Writes TEXT (the rest of the command; use \"quotes\" for escapes such as \\r\\n), the bytes HEX, or N\n"
     "copies of BYTE. A leading number is the handle H only when exactly one word follows it (write 2 hi,\n"
     "write 2 \"two words\"); otherwise it is part of TEXT (write 42 is the answer).",
     cmdWrite},
    {"read", "read [H] N",
     "Reads N bytes; shows them in hex and as printable text. With --async (read --async\n"
     "[H] N, also write --async ...) it returns at once and wait shows the result.",
     cmdRead},
    {"describe", "describe [H] [OUTLEN]",
     "IOCTL_GET_DESCRIPTION (0x222000) with an output buffer of OUTLEN bytes (default 1024); prints the text.",
     cmdDescribe},
    {"table", "table [H] [OUTLEN]",
     "IOCTL_GET_CAPABILITY_TABLE (0x222004) with an output buffer of OUTLEN bytes (default 64); prints the\n"
     "decoded table.",
     cmdTable},
    {"ioctl", "ioctl [H] CODE [INLEN [OUTLEN]]",
     "Sends any control code with INLEN input bytes (counting up from 0) and OUTLEN output bytes (default 0).",
     cmdIoctl},
    {"pnp", "pnp disable|enable|surprise|rebalance|uninstall | pnp start|stop|remove|caps|MINOR",
     "The PnP manager's sequences as Windows sends them: disable (query-remove, remove; vetoed while a\n"
     "handle is open), enable (AddDevice again, start and the queries after it), surprise (surprise\n"
     "removal; the removal follows the last close), rebalance (query-stop, stop, start), uninstall\n"
     "(removal, then DriverUnload). Or one PnP request to the device's stack: start, stop, remove, caps,\n"
     "query-remove, cancel-remove, query-stop, cancel-stop, relations, surprise-removal, ...; or any\n"
     "minor code as a number.",
     cmdPnp},
    {"power", "power system query|set S [ACTION] | power device query|set D [ACTION] | power wait-wake|sequence|MINOR",
     "A power IRP. S: 0..6, or S0..S5, hibernate, shutdown. D: D0..D3, or 0..4. ACTION: 0..7 or none, sleep,\n"
     "hibernate, shutdown, shutdown-reset, shutdown-off (a system IRP's default follows S).",
     cmdPower},
    {"sleep", "sleep S", "A whole system transition to S: the query, then the set, as the power manager sends them.",
     cmdSleep},
    {"wake", "wake", "Back to the working state: the set-power IRP for S0 that ends a sleep.", cmdWake},
    {"bus", "bus caps KEY=VALUE... | bus fail caps|power STATUS | bus fail off | bus pend on|off",
     "Scripts the bus below the device. caps keys: D1, D2, WakeFromD0..WakeFromD3, SystemWake, DeviceWake,\n"
     "DeviceState=a:b:c:d:e:f:g, the other DEVICE_CAPABILITIES flags by name, Address, UINumber,\n"
     "D1Latency..D3Latency; `bus caps default` restores the root bus's usual report. fail: the bus fails\n"
     "those requests with STATUS from now on. pend on: it completes requests later from another thread.\n"
     "A failure scripted here can lead the driver into a verifier report (exit status 2): the report names it\n"
     "as its cause, to tell it from a fault of the driver's own.",
     cmdBus},
    {"fault", "fault map|pool|porequest [STATUS]",
     "The next MmMapLockedPagesSpecifyCache, ExAllocatePoolWithTag or PoRequestPowerIrp fails\n"
     "(porequest returns STATUS, default STATUS_INSUFFICIENT_RESOURCES). The fault waits for that call: state\n"
     "shows it pending (this project's drivers allocate pool only in AddDevice: `pnp enable` after `pnp disable`\n"
     "reaches it). A verifier\n"
     "report that follows names the fault as its cause (exit status 2 all the same).",
     cmdFault},
    {"state", "state", "The device's recorded power states, remove-lock count, open handles and capability table.",
     cmdState},
    {"unload", "unload",
     "Uninstalls as Windows does: the device is removed first (query-remove, remove), then DriverUnload;\n"
     "every handle must be closed first.",
     cmdUnload},
    {"help", "help [COMMAND]", "This list, or one command's explanation.", cmdHelp},
    {"quit", "quit", "Ends the prompt or the script.", cmdQuit},
    {"wait", "wait [H]", "Waits for the oldest read or write sent with --async (of handle H) and shows its result.",
     cmdWait},
    {"cancel", "cancel [H]",
     "Cancels the oldest pending request of handle H (CancelIoEx); wait then shows how it ended.", cmdCancel},
};

const CommandSpec* find(std::string_view name) {
  std::string wanted = lower(name);
  if (wanted == "exit") wanted = "quit";
  for (const auto& spec : kCommands) {
    if (spec.name == wanted) return &spec;
  }
  return nullptr;
}

std::string commandNames() {
  std::string names;
  for (const auto& spec : kCommands) names += (names.empty() ? "" : ", ") + std::string(spec.name);
  return names;
}

}  // namespace

void runCommand(Session& session, const Command& command) {
  const CommandSpec* spec = find(command.words.front().text);
  if (spec == nullptr || command.words.front().quoted) {
    throw CommandError(printable(command.words.front().text) + ": unknown command: expected one of " + commandNames());
  }
  Args args(spec->usage, command.words);
  try {
    spec->run(session, args);
  } catch (const CommandError& error) {
    // Every error of a command starts with the command's name.
    std::string message = error.what();
    std::string name(spec->name);
    if (message.starts_with(name + ":") || message.starts_with(name + " ")) throw;
    throw CommandError(name + ": " + message);
  }
}

std::vector<std::string_view> commandList() {
  std::vector<std::string_view> names;
  for (const auto& spec : kCommands) names.push_back(spec.name);
  return names;
}

bool isQuit(const Command& command) {
  const CommandSpec* spec = find(command.words.front().text);
  return spec != nullptr && spec->name == "quit";
}

std::string helpText(std::string_view command) {
  if (!command.empty()) {
    const CommandSpec* spec = find(command);
    if (spec == nullptr) {
      throw CommandError("help: unknown command " + inQuotes(std::string(command)) + ": expected one of " +
                         commandNames());
    }
    return std::string(spec->usage) + "\n" + std::string(spec->explanation) + "\n";
  }
  std::string text =
      "Commands (one per line, or separated by ;). H is a handle number from open; when given it comes first\n"
      "and all the command's other arguments follow it. Numbers: decimal or 0x-hex, passed through as given.\n";
  for (const auto& spec : kCommands) text += "  " + std::string(spec.usage) + "\n";
  text +=
      "help COMMAND explains one command. In scripts and at the prompt # starts a comment that runs to the end\n"
      "of the line. Everything else: docs/PDCTL.md.\n";
  return text;
}

}  // namespace pdctl
