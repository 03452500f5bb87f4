#include "script_parser.h"

#include "errors.h"
#include "numbers.h"

#include <functional>

namespace pdctl {
namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string trimmed(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && isBlank(s[b])) ++b;
  while (e > b && isBlank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

// Collects commands from pieces of input: a whole script, or one argument at a time.
class Splitter {
 public:
  // Names the location of a command that starts on the given line of the current piece.
  using Where = std::function<std::string(size_t line)>;

  Splitter(std::vector<Command>& out, bool comments) : out_(out), comments_(comments) {}

  void split(std::string_view text, const Where& where) {
    size_t line = 1;
    size_t i = 0;
    while (i < text.size()) {
      char c = text[i];
      if (c == '\n' || c == ';') {
        endCommand();
        if (c == '\n') ++line;
        ++i;
      } else if (isBlank(c)) {
        endWord();
        if (inCommand_) raw_ += c;
        ++i;
      } else if (c == '#' && !inWord_ && comments_) {
        while (i < text.size() && text[i] != '\n') ++i;
      } else {
        if (!inCommand_) {
          inCommand_ = true;
          current_.where = where(line);
        }
        // A quote opens a quoted part only at the start of a word: "don't" is text as it stands.
        if ((c == '"' || c == '\'') && !inWord_) {
          size_t end = quoted(text, i);
          raw_.append(text.substr(i, end - i));
          i = end;
        } else {
          word_.text.push_back(c);
          raw_ += c;
          inWord_ = true;
          ++i;
        }
      }
    }
  }

  // The end of one argument: the word ends there, the command goes on.
  void endArgument() {
    endWord();
    if (inCommand_) raw_ += ' ';
  }

  void endCommand() {
    endWord();
    if (!current_.words.empty()) {
      current_.text = trimmed(raw_);
      out_.push_back(std::move(current_));
    }
    current_ = Command{};
    raw_.clear();
    inCommand_ = false;
  }

 private:
  void endWord() {
    if (inWord_) current_.words.push_back(std::move(word_));
    word_ = Word{};
    inWord_ = false;
  }

  // "WHERE: COMMAND: " as far as they are known.
  std::string prefix() const {
    std::string text = current_.where.empty() ? "" : current_.where + ": ";
    if (!current_.words.empty()) text += printable(current_.words.front().text) + ": ";
    return text;
  }

  // Reads a quoted part of a word starting at text[i]; returns the index after the closing quote.
  size_t quoted(std::string_view text, size_t i) {
    char quote = text[i++];
    inWord_ = true;
    word_.quoted = true;
    while (i < text.size() && text[i] != quote && text[i] != '\n') {
      char c = text[i];
      if (quote == '"' && c == '\\' && i + 1 < text.size()) {
        char e = text[i + 1];
        i += 2;
        switch (e) {
          case '\\': word_.text.push_back('\\'); break;
          case '"': word_.text.push_back('"'); break;
          case 'n': word_.text.push_back('\n'); break;
          case 'r': word_.text.push_back('\r'); break;
          case 't': word_.text.push_back('\t'); break;
          case '0': word_.text.push_back('\0'); break;
          case 'x': {
            int hi = i < text.size() ? hexDigit(text[i]) : -1;
            int lo = i + 1 < text.size() ? hexDigit(text[i + 1]) : -1;
            if (hi < 0 || lo < 0) {
              throw CommandError(prefix() + "bad escape in quotes: expected \\x followed by two hex digits");
            }
            word_.text.push_back(static_cast<char>(hi * 16 + lo));
            i += 2;
            break;
          }
          default:
            throw CommandError(prefix() + "unknown escape \\" + std::string(1, e) +
                               " in quotes: expected one of \\\\ \\\" \\n \\r \\t \\0 \\xNN");
        }
        continue;
      }
      word_.text.push_back(c);
      ++i;
    }
    if (i >= text.size() || text[i] != quote) {
      throw CommandError(prefix() + "unterminated " + (quote == '"' ? "double" : "single") +
                         " quote: expected a closing " + std::string(1, quote) + " on the same line");
    }
    return i + 1;
  }

  std::vector<Command>& out_;
  bool comments_;
  Command current_;
  Word word_;
  std::string raw_;
  bool inWord_ = false;
  bool inCommand_ = false;
};

}  // namespace

std::vector<Command> parseLine(std::string_view line, const std::string& where) {
  std::vector<Command> commands;
  Splitter splitter(commands, true);
  splitter.split(line, [&](size_t) { return where; });
  splitter.endCommand();
  return commands;
}

std::vector<Command> parseScript(std::string_view source, std::string_view origin) {
  std::vector<Command> commands;
  Splitter splitter(commands, true);
  std::string name(origin);
  splitter.split(source, [&](size_t line) { return name.empty() ? std::string() : name + ":" + std::to_string(line); });
  splitter.endCommand();
  return commands;
}

std::vector<Command> parseArguments(const std::vector<std::string>& arguments) {
  std::vector<Command> commands;
  Splitter splitter(commands, false);
  for (const auto& argument : arguments) {
    splitter.split(argument, [&](size_t) { return "command " + std::to_string(commands.size() + 1); });
    splitter.endArgument();
  }
  splitter.endCommand();
  return commands;
}

}  // namespace pdctl
