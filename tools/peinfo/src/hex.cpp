#include "peinfo/hex.h"

#include <cstdio>

namespace peinfo {

std::string hex(std::uint64_t value, int digits) {
  char buffer[24];
  std::snprintf(buffer, sizeof buffer, "0x%0*llx", digits, static_cast<unsigned long long>(value));
  return buffer;
}

}  // namespace peinfo
