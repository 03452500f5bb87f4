#include "inf_file.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace pdkit::images {

std::string lowercase(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

namespace {

std::string trim(const std::string& s) {
  const auto first = s.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  const auto last = s.find_last_not_of(" \t\r");
  return s.substr(first, last - first + 1);
}

struct RawLine {
  std::string text;  // comment removed, continuation joined
  int number;
};

// Joins continued lines and drops comments (a ';' outside quotes).
std::vector<RawLine> logical_lines(const std::string& text, const std::string& name) {
  std::vector<RawLine> out;
  std::istringstream in(text);
  std::string physical;
  std::string pending;
  int number = 0;
  int first = 0;
  while (std::getline(in, physical)) {
    ++number;
    if (pending.empty()) first = number;
    std::string kept;
    bool quoted = false;
    for (char c : physical) {
      if (c == '"') quoted = !quoted;
      if (c == ';' && !quoted) break;
      kept.push_back(c);
    }
    if (quoted) throw std::runtime_error(name + ":" + std::to_string(number) + ": unterminated quote");
    kept = trim(kept);
    if (!kept.empty() && kept.back() == '\\') {
      pending += kept.substr(0, kept.size() - 1);
      continue;
    }
    pending += kept;
    if (!trim(pending).empty()) out.push_back({trim(pending), first});
    pending.clear();
  }
  return out;
}

// Splits at commas outside quotes; quotes are removed ("" inside quotes is a quote).
std::vector<std::string> split_values(const std::string& text) {
  std::vector<std::string> values;
  std::string current;
  bool quoted = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"') {
      if (quoted && i + 1 < text.size() && text[i + 1] == '"') {
        current.push_back('"');
        ++i;
      } else {
        quoted = !quoted;
      }
    } else if (c == ',' && !quoted) {
      values.push_back(trim(current));
      current.clear();
    } else {
      current.push_back(c);
    }
  }
  values.push_back(trim(current));
  return values;
}

// Position of the '=' separating key and values, outside quotes; npos if none.
std::size_t find_equals(const std::string& text) {
  bool quoted = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '"') quoted = !quoted;
    if (text[i] == '=' && !quoted) return i;
  }
  return std::string::npos;
}

}  // namespace

InfFile InfFile::load(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error(path.string() + ": cannot open");
  std::ostringstream text;
  text << in.rdbuf();
  return parse(text.str(), path.filename().string());
}

InfFile InfFile::parse(const std::string& text, const std::string& name) {
  InfFile inf;
  std::string current;
  for (const RawLine& line : logical_lines(text, name)) {
    const std::string where = name + ":" + std::to_string(line.number);
    if (line.text.front() == '[') {
      if (line.text.back() != ']') throw std::runtime_error(where + ": section header without ']'");
      current = lowercase(trim(line.text.substr(1, line.text.size() - 2)));
      if (inf.sections_.contains(current)) throw std::runtime_error(where + ": section [" + current + "] repeated");
      inf.sections_[current];
      continue;
    }
    if (current.empty()) throw std::runtime_error(where + ": text before the first section");
    InfLine entry;
    entry.line_number = line.number;
    const std::size_t eq = find_equals(line.text);
    if (eq != std::string::npos) {
      entry.key = trim(line.text.substr(0, eq));
      entry.values = split_values(line.text.substr(eq + 1));
    } else {
      entry.values = split_values(line.text);
    }
    inf.sections_[current].push_back(std::move(entry));
  }

  // %token% substitution from [Strings]; %%, and the numeric dirids such
  // as %12%, stay as written.
  std::map<std::string, std::string> strings;
  for (const auto& line : inf.lines("strings")) {
    if (!line.key.empty() && !line.values.empty()) strings[lowercase(line.key)] = line.values[0];
  }
  auto substitute = [&](std::string& s, int line_number) {
    std::string out;
    for (std::size_t i = 0; i < s.size();) {
      if (s[i] != '%') {
        out.push_back(s[i++]);
        continue;
      }
      const std::size_t end = s.find('%', i + 1);
      if (end == std::string::npos)
        throw std::runtime_error(name + ":" + std::to_string(line_number) + ": unmatched %");
      const std::string token = s.substr(i + 1, end - i - 1);
      const bool numeric = !token.empty() && std::all_of(token.begin(), token.end(), ::isdigit);
      if (token.empty() || numeric) {
        out += s.substr(i, end - i + 1);
      } else if (auto it = strings.find(lowercase(token)); it != strings.end()) {
        out += it->second;
      } else {
        throw std::runtime_error(name + ":" + std::to_string(line_number) + ": %" + token +
                                 "% is not defined in [Strings]");
      }
      i = end + 1;
    }
    s = out;
  };
  for (auto& [section, lines] : inf.sections_) {
    if (section == "strings") continue;
    for (auto& line : lines) {
      substitute(line.key, line.line_number);
      for (auto& v : line.values) substitute(v, line.line_number);
    }
  }
  return inf;
}

bool InfFile::has_section(const std::string& section) const { return sections_.contains(lowercase(section)); }

const std::vector<InfLine>& InfFile::lines(const std::string& section) const {
  static const std::vector<InfLine> none;
  auto it = sections_.find(lowercase(section));
  return it == sections_.end() ? none : it->second;
}

std::optional<std::vector<std::string>> InfFile::find(const std::string& section, const std::string& key) const {
  for (const auto& line : lines(section)) {
    if (lowercase(line.key) == lowercase(key)) return line.values;
  }
  return std::nullopt;
}

std::optional<std::string> InfFile::value(const std::string& section, const std::string& key) const {
  auto values = find(section, key);
  if (!values || values->size() != 1) return std::nullopt;
  return values->front();
}

}  // namespace pdkit::images
