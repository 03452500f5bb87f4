// Reading a command's arguments (command_args.h).
#include "command_args.h"

#include "errors.h"
#include "numbers.h"

namespace pdctl {

void Args::bad(const std::string& what) const { throw CommandError(what + "; usage: " + std::string(usage_)); }

void Args::count(size_t least, size_t most) const {
  if (words_.size() < least) bad("too few arguments");
  if (words_.size() > most) bad("too many arguments (" + std::to_string(words_.size()) + ")");
}

std::optional<uint32_t> Args::handle(size_t others) {
  if (words_.size() <= others) return std::nullopt;
  uint32_t number = parseNumber(words_[0].text, "the handle");
  words_.erase(words_.begin());
  return number;
}

bool Args::flag(std::string_view option) {
  for (auto it = words_.begin(); it != words_.end(); ++it) {
    if (!it->quoted && it->text == option) {
      words_.erase(it);
      return true;
    }
  }
  return false;
}

uint32_t Args::number(size_t i, std::string_view what) const {
  if (words_[i].quoted) bad(std::string(what) + " must be a number, not text in quotes");
  return parseNumber(words_[i].text, what);
}

uint32_t Args::code(size_t i, std::string_view what) const {
  if (int32_t value; !words_[i].quoted && parseSigned(words_[i].text, value)) return static_cast<uint32_t>(value);
  return number(i, what);
}

uint32_t Args::length(size_t i, std::string_view what) const {
  if (words_[i].quoted) bad(std::string(what) + " must be a number, not text in quotes");
  return parseLength(words_[i].text, what);
}

}  // namespace pdctl
