#include "script_reader.h"

#include "errors.h"
#include "numbers.h"

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace pdctl {

ScriptReader::ScriptReader(const std::string& name) : name_(name) {
  if (name == "-") {
    file_ = stdin;
    origin_ = "line ";
    return;
  }
  std::error_code error;
  if (std::filesystem::is_directory(name, error)) {
    throw CommandError("script " + printable(name) +
                       " is a directory: expected a file of commands (or - for standard "
                       "input)");
  }
  file_ = std::fopen(name.c_str(), "rb");
  if (file_ == nullptr) {
    throw CommandError("cannot read script " + printable(name) + " (" + std::strerror(errno) +
                       "): expected a readable file (or - for standard input)");
  }
  owned_ = true;
  origin_ = name + ":";
}

ScriptReader::~ScriptReader() {
  if (owned_) std::fclose(file_);
}

std::optional<std::vector<Command>> ScriptReader::next() {
  text_.clear();
  ++line_;
  int c;
  while ((c = std::getc(file_)) != EOF && c != '\n') {
    if (text_.size() == kMaxLineBytes) {
      throw CommandError(origin_ + std::to_string(line_) + ": the line is longer than " +
                         std::to_string(kMaxLineBytes / 1024) +
                         " KiB: expected one command per line (write larger data with fill:BYTE:N or several writes)");
    }
    text_.push_back(static_cast<char>(c));
  }
  if (c == EOF) {
    if (std::ferror(file_)) {
      throw CommandError("cannot read script " + printable(name_ == "-" ? "from standard input" : name_) + " (" +
                         std::strerror(errno) + ")");
    }
    if (text_.empty()) return std::nullopt;
  }
  std::string_view line = text_;
  if (line_ == 1 && line.starts_with("\xEF\xBB\xBF")) line.remove_prefix(3);
  return parseLine(line, origin_ + std::to_string(line_));
}

}  // namespace pdctl
