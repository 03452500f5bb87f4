// A command's arguments, after its name: counted, taken out (a leading
// handle, an option such as --async) and read as numbers, lengths and codes,
// each error naming the argument and showing the command's usage. Also the
// data `write` sends (TEXT, hex:HEX or fill:BYTE:N), parsed in write_data.cpp.
#pragma once

#include "script_parser.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pdctl {

class Session;

class Args {
 public:
  Args(std::string_view usage, const std::vector<Word>& words)
      : usage_(usage), words_(words.begin() + 1, words.end()) {}

  size_t size() const { return words_.size(); }
  const Word& operator[](size_t i) const { return words_[i]; }
  const std::string& text(size_t i) const { return words_[i].text; }

  // The command's name goes in front where the error is reported (runCommand).
  [[noreturn]] void bad(const std::string& what) const;
  void count(size_t least, size_t most) const;

  // A leading handle number, present when all `others` other arguments follow it.
  std::optional<uint32_t> handle(size_t others);
  // Takes out an unquoted option word such as --async; true when it was there.
  bool flag(std::string_view option);

  uint32_t number(size_t i, std::string_view what) const;
  // A 32-bit code as given: also a negative decimal, as two's complement.
  uint32_t code(size_t i, std::string_view what) const;
  uint32_t length(size_t i, std::string_view what) const;

 private:
  std::string_view usage_;
  std::vector<Word> words_;
};

// What runs one command.
using CommandHandler = void (*)(Session&, Args&);

// The bytes `write` sends, from its arguments `first` onwards: TEXT (the
// words joined by blanks), hex:HEX or fill:BYTE:N.
std::vector<uint8_t> writeData(const Args& args, size_t first);

}  // namespace pdctl
