// The kernel's DbgPrint formatting: printf with the kernel's extensions
// (%wZ, %ws, %S, %Z and the I64/I32/I size prefixes, where "long" is 32
// bits as on Windows). A call is either formatted at once from its va_list,
// or its argument values are captured now and the text is made when the
// debugger's output is read.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>

namespace ntsim {

// The arguments of a DbgPrint call, read as the format consumes them.
class VaListArguments {
 public:
  explicit VaListArguments(va_list args) { va_copy(args_, args); }
  ~VaListArguments() { va_end(args_); }
  VaListArguments(const VaListArguments&) = delete;
  VaListArguments& operator=(const VaListArguments&) = delete;

  int takeInt() { return va_arg(args_, int); }
  long long takeLongLong() { return va_arg(args_, long long); }
  size_t takeWord() { return va_arg(args_, size_t); }
  const void* takePointer() { return va_arg(args_, const void*); }
  double takeDouble() { return va_arg(args_, double); }

 private:
  va_list args_;
};

// Argument values captured from a call by captureArguments, one 64-bit slot each.
class CapturedArguments {
 public:
  CapturedArguments(const uint64_t* slots, unsigned count) : slots_(slots), count_(count) {}

  int takeInt() { return static_cast<int>(next()); }
  long long takeLongLong() { return static_cast<long long>(next()); }
  size_t takeWord() { return static_cast<size_t>(next()); }
  const void* takePointer() { return reinterpret_cast<const void*>(static_cast<uintptr_t>(next())); }
  double takeDouble() { return __builtin_bit_cast(double, next()); }

 private:
  uint64_t next() { return index_ < count_ ? slots_[index_++] : 0; }
  const uint64_t* slots_;
  unsigned count_;
  unsigned index_ = 0;
};

std::string formatKernel(const char* format, VaListArguments& args);
std::string formatKernel(const char* format, CapturedArguments& args);

// Reads the values a format consumes from the call's arguments into slots.
// Returns the number of slots used, or -1 when the text cannot wait: the
// format reads through a pointer (a string conversion) or takes more than
// `capacity` arguments.
int captureArguments(const char* format, va_list args, uint64_t* slots, unsigned capacity);

}  // namespace ntsim
