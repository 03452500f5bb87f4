// The one exception type of peinfo: the file is not what it claims to be.
#pragma once

#include <stdexcept>
#include <string>

namespace peinfo {

// Thrown when a file is truncated, inconsistent or not a PE image at all.
// The message names the file and what was wrong with it.
class FormatError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace peinfo
