// Splits scripts and command-line arguments into commands and words.
//
// A command ends at a newline or at a `;` outside quotes. In a script or at
// the prompt, `#` at the start of a word starts a comment that runs to the
// end of the line, `;` included, as in a shell; on pdctl's command line `#`
// is an ordinary character. Words are separated by blanks; at the start of a
// word, "double quotes" group a word and take the escapes \\ \" \n \r \t
// \0 and \xNN, and 'single quotes' group a word as it is. A quote inside a
// word is an ordinary character (don't).
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

// One line of a script or of the prompt; `where` names it in error locations ("" at the prompt).
std::vector<Command> parseLine(std::string_view line, const std::string& where);
// A whole text of lines; `origin` names it in error locations ("origin:LINE").
std::vector<Command> parseScript(std::string_view source, std::string_view origin);
// Each argument is split like a script line; an argument boundary also ends a word.
std::vector<Command> parseArguments(const std::vector<std::string>& arguments);

}  // namespace pdctl
