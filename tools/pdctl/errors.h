// The one kind of error pdctl reports for bad input: a command that could
// not run (bad syntax, a bad number, a handle not open, an unknown driver).
// The message says what was wrong and what is expected; the caller adds
// where it happened.
#pragma once

#include <stdexcept>
#include <string>

namespace pdctl {

class CommandError : public std::runtime_error {
 public:
  explicit CommandError(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace pdctl
