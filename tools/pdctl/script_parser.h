// Splits scripts and command-line arguments into commands and words.
//
// A command ends at a newline or at a `;` outside quotes. `#` at the start of
// a word starts a comment that runs to the end of the line. Words are
// separated by blanks; "double quotes" group a word and take the escapes
// \\ \" \n \r \t \0 and \xNN; 'single quotes' group a word as it is.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace pdctl {

struct Word {
  std::string text;
  bool quoted = false;  // written in quotes: always text, never a number or handle
};

struct Command {
  std::vector<Word> words;  // never empty
  std::string text;         // the command as written, trimmed
  std::string where;        // "script.pd:3", "command 2", ... for error messages
};

// `origin` names the source in error locations (a file name, or "" for a line typed at the prompt).
std::vector<Command> parseScript(std::string_view source, std::string_view origin);
// Each argument is split like a script line; an argument boundary also ends a word.
std::vector<Command> parseArguments(const std::vector<std::string>& arguments);

}  // namespace pdctl
