// pdctl: the user-mode client of the pseudo-device drivers. On Linux it boots
// the chosen driver on ntsim and then runs the commands; on Windows it opens
// the installed device. See usageText() and `help`.
#include "backend.h"
#include "commands.h"
#include "demo.h"
#include "errors.h"
#include "exit_status.h"
#include "interactive.h"
#include "json_output.h"
#include "numbers.h"
#include "options.h"
#include "script_parser.h"
#include "script_reader.h"
#include "session.h"
#include "terminal.h"
#include "transcript.h"

#include <cstdio>
#include <memory>

namespace pdctl {
namespace {

bool onlyHelp(const std::vector<Command>& commands) {
  if (commands.empty()) return false;
  for (const auto& command : commands) {
    if (lower(command.words.front().text) != "help") return false;
  }
  return true;
}

int run(const std::vector<std::string>& arguments, const char* argv0) {
  Options options = parseOptions(arguments);
  if (options.usage) {
    std::fputs(usageText().c_str(), stdout);
    return kExitSuccess;
  }
  std::string programDir = programDirectory(argv0);
  if (options.commands.size() == 1 && lower(options.commands.front()) == "demo") return runDemo(options, programDir);

  bool interactive = !options.script && options.commands.empty() && stdinIsTerminal();
  std::unique_ptr<Sink> sink;
  if (options.json) {
    // At the prompt the error's object is on the same terminal: no second copy on standard error.
    sink = std::make_unique<JsonLines>(stdout, interactive ? nullptr : stderr, options.quietKd);
  } else {
    sink = std::make_unique<Transcript>(
        stdout, stderr,
        TranscriptStyle{.echoCommands = !interactive, .quietKd = options.quietKd, .colour = colourWanted()});
  }
  std::vector<Command> commands;
  std::unique_ptr<ScriptReader> script;  // read as the commands run
  DriverChoice choice;
  std::unique_ptr<Backend> backend;
  try {
    if (options.script) {
      script = std::make_unique<ScriptReader>(*options.script);
    } else if (!options.commands.empty()) {
      commands = parseArguments(options.commands);
    } else if (!interactive) {
      script = std::make_unique<ScriptReader>("-");
    }
    // Help needs no driver.
    if (onlyHelp(commands)) {
      for (const auto& command : commands) {
        std::fputs(helpText(command.words.size() > 1 ? command.words[1].text : std::string()).c_str(), stdout);
      }
      return kExitSuccess;
    }
    choice = resolveDriver(options, programDir);
    backend = makeBackend(choice);
  } catch (const CommandError& error) {
    sink->error(error.what());
    return kExitCommandFailed;
  }
  Session session(choice, *backend, *sink, options.bare);
  try {
    session.boot();
  } catch (const CommandError& error) {
    session.fail(error.what());
    session.finish();
    return session.exitStatus();
  }
  if (interactive) {
    std::fputs("pdctl: type help for the commands, quit (or Ctrl-D) to leave\n", stdout);
    runInteractive(session);
    session.forgiveErrors();  // at the prompt a mistake is reported and passed over
  } else if (script) {
    session.runScript(*script);
  } else {
    session.runAll(commands);
  }
  session.finish();
  return session.exitStatus();
}

}  // namespace
}  // namespace pdctl

int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  try {
    return pdctl::run(arguments, argc > 0 ? argv[0] : nullptr);
  } catch (const pdctl::CommandError& error) {
    std::fflush(stdout);
    std::fprintf(stderr, "pdctl: %s\n", error.what());
    return pdctl::kExitCommandFailed;
  }
}
