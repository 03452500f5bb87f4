// A reader for the subset of the INF format the install files use:
// [sections], "key = value, value" and bare "value, value" lines, quoted
// strings, ';' comments, '\' line continuation and %string% tokens
// substituted from [Strings]. Section and key names compare case-insensitively,
// as SetupAPI compares them.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace pdkit::images {

struct InfLine {
  std::string key;                  // empty for a line without '='
  std::vector<std::string> values;  // unquoted, %tokens% substituted
  int line_number = 0;
};

class InfFile {
 public:
  // Throws std::runtime_error naming the file and line on syntax errors,
  // on a %token% that [Strings] does not define and on a repeated section.
  static InfFile load(const std::filesystem::path& path);
  static InfFile parse(const std::string& text, const std::string& name);

  bool has_section(const std::string& section) const;
  // The lines of `section`; empty when it does not exist.
  const std::vector<InfLine>& lines(const std::string& section) const;
  // The values of the first line of `section` with key `key`.
  std::optional<std::vector<std::string>> find(const std::string& section, const std::string& key) const;
  // The single value of `key` in `section`, or nullopt.
  std::optional<std::string> value(const std::string& section, const std::string& key) const;

 private:
  std::map<std::string, std::vector<InfLine>> sections_;  // lower-case names
};

std::string lowercase(std::string s);

}  // namespace pdkit::images
