// Reads a script a line at a time, so that commands run as they arrive (a
// program can drive pdctl through a pipe) and memory stays flat however long
// the script is. A line is at most kMaxLineBytes; a leading UTF-8
// byte-order mark is dropped.
#pragma once

#include "script_parser.h"

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace pdctl {

// The longest script line: room for a 512 KiB hex: write; larger data goes with fill: or several writes.
inline constexpr size_t kMaxLineBytes = 1024 * 1024;

class ScriptReader {
 public:
  // `name` is a file name, or "-" for standard input. Throws CommandError when it cannot be read.
  explicit ScriptReader(const std::string& name);
  ~ScriptReader();
  ScriptReader(const ScriptReader&) = delete;
  ScriptReader& operator=(const ScriptReader&) = delete;

  // The commands of the next line (often none: a blank line or a comment);
  // nullopt at the end. Throws CommandError for a line that is too long, a
  // read error or a line that does not parse.
  std::optional<std::vector<Command>> next();

 private:
  std::FILE* file_ = nullptr;
  bool owned_ = false;
  std::string name_;    // for messages
  std::string origin_;  // "script.pd:" or "line "
  size_t line_ = 0;
  std::string text_;  // the line being read (reused)
};

}  // namespace pdctl
