#include "interactive.h"

#include "commands.h"
#include "errors.h"
#include "script_parser.h"
#include "session.h"
#include "terminal.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#ifdef PDCTL_HAVE_READLINE
#include <readline/history.h>
#include <readline/readline.h>
#endif

namespace pdctl {
namespace {

#ifdef PDCTL_HAVE_READLINE

// Tab completes a command's name where a command starts (the line's start,
// or after a ;); elsewhere nothing: the arguments are not file names.
char* commandName(const char* text, int state) {
  static std::vector<std::string_view> names;
  static size_t next;
  if (state == 0) {
    names = commandList();
    next = 0;
  }
  std::string_view prefix(text);
  while (next < names.size()) {
    std::string_view name = names[next++];
    if (name.starts_with(prefix)) return strdup(std::string(name).c_str());
  }
  return nullptr;
}

char** complete(const char* text, int start, int) {
  rl_attempted_completion_over = 1;
  std::string_view before(rl_line_buffer, static_cast<size_t>(start));
  while (!before.empty() && (before.back() == ' ' || before.back() == '\t')) before.remove_suffix(1);
  bool commandStarts = before.empty() || before.back() == ';';
  return commandStarts ? rl_completion_matches(text, commandName) : nullptr;
}

// Ctrl-C drops the line being typed and prompts afresh, as a shell does,
// instead of ending pdctl (and losing the history typed so far). Readline
// passes the signal on to this handler and then calls the hook.
volatile std::sig_atomic_t interrupted = 0;
extern "C" void onInterrupt(int) { interrupted = 1; }

int afterSignal() {
  if (interrupted) {
    interrupted = 0;
    rl_replace_line("", 0);
    rl_crlf();
    rl_on_new_line();
    rl_redisplay();
  }
  return 0;
}

// GNU readline: editing, history with the arrow keys, kept in ~/.pdctl_history.
class LineReader {
 public:
  LineReader() {
    std::string home = environment("HOME");
    if (!home.empty()) historyFile_ = home + "/.pdctl_history";
    using_history();
    if (!historyFile_.empty()) read_history(historyFile_.c_str());
    rl_attempted_completion_function = complete;
    rl_signal_event_hook = afterSignal;
    previous_ = std::signal(SIGINT, onInterrupt);
  }
  ~LineReader() {
    std::signal(SIGINT, previous_);
    if (!historyFile_.empty()) {
      write_history(historyFile_.c_str());
      history_truncate_file(historyFile_.c_str(), 1000);
    }
  }
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  std::optional<std::string> read(const char* prompt) {
    char* raw = readline(prompt);
    if (raw == nullptr) return std::nullopt;
    std::string line(raw);
    std::free(raw);
    if (line.find_first_not_of(" \t") != std::string::npos) add_history(line.c_str());
    return line;
  }

 private:
  std::string historyFile_;
  void (*previous_)(int) = SIG_DFL;
};

#else

// Without readline: the terminal's own line editing, and a history of this
// session that `history` lists and `!N` or `!!` runs again.
class LineReader {
 public:
  std::optional<std::string> read(const char* prompt) {
    while (true) {
      std::fputs(prompt, stdout);
      std::fflush(stdout);
      std::string line;
      if (!std::getline(std::cin, line)) return std::nullopt;
      if (line == "history") {
        for (size_t i = 0; i < history_.size(); ++i) std::printf("%5zu  %s\n", i + 1, history_[i].c_str());
        continue;
      }
      if (line.starts_with("!")) {
        std::string which = line.substr(1);
        size_t index = which == "!" ? history_.size() : static_cast<size_t>(std::atoi(which.c_str()));
        if (index == 0 || index > history_.size()) {
          std::fprintf(stderr, "pdctl: no history entry %s: expected !N with N from 1 to %zu, or !!\n", which.c_str(),
                       history_.size());
          continue;
        }
        line = history_[index - 1];
        std::printf("%s\n", line.c_str());
      }
      if (line.find_first_not_of(" \t") != std::string::npos) history_.push_back(line);
      return line;
    }
  }

 private:
  std::vector<std::string> history_;
};

#endif

}  // namespace

void runInteractive(Session& session) {
  LineReader reader;
  while (auto line = reader.read("pdctl> ")) {
    std::vector<Command> commands;
    try {
      commands = parseScript(*line, "");
    } catch (const CommandError& error) {
      session.fail(error.what());
      continue;
    }
    for (const auto& command : commands) {
      if (isQuit(command)) return;
      try {
        session.run(command);
      } catch (const CommandError& error) {
        session.fail(error.what());
        break;
      }
    }
  }
  std::fputs("\n", stdout);
}

}  // namespace pdctl
