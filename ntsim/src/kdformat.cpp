#include "kdformat.h"

#include <wdm.h>

#include <cstdio>
#include <cstring>
#include <string_view>

namespace ntsim {
namespace {

enum class Size { Default, Short, Long, LongLong, Pointer, Wide };

// One conversion of a format, from its '%' to its conversion character.
struct Conversion {
  std::string_view flags;  // within the format
  bool widthFromArgument = false;
  int width = -1;
  bool precisionFromArgument = false;
  int precision = -1;
  Size size = Size::Default;
  char conversion = '\0';  // '\0': the format ended inside the conversion
};

// Parses the conversion whose '%' is at p[-1]; leaves p at its conversion character.
Conversion parseConversion(const char*& p) {
  Conversion c;
  const char* flags = p;
  while (*p == '-' || *p == '+' || *p == ' ' || *p == '#' || *p == '0') ++p;
  c.flags = std::string_view(flags, static_cast<size_t>(p - flags));
  if (*p == '*') {
    c.widthFromArgument = true;
    ++p;
  } else if (*p >= '0' && *p <= '9') {
    c.width = 0;
    while (*p >= '0' && *p <= '9') c.width = c.width * 10 + (*p++ - '0');
  }
  if (*p == '.') {
    ++p;
    c.precision = 0;
    if (*p == '*') {
      c.precisionFromArgument = true;
      ++p;
    } else {
      while (*p >= '0' && *p <= '9') c.precision = c.precision * 10 + (*p++ - '0');
    }
  }
  if (p[0] == 'I' && p[1] == '6' && p[2] == '4')
    c.size = Size::LongLong, p += 3;
  else if (p[0] == 'I' && p[1] == '3' && p[2] == '2')
    c.size = Size::Default, p += 3;
  else if (p[0] == 'I')
    c.size = Size::Pointer, ++p;
  else if (p[0] == 'l' && p[1] == 'l')
    c.size = Size::LongLong, p += 2;
  else if (p[0] == 'l')
    c.size = Size::Long, ++p;
  else if (p[0] == 'h')
    c.size = Size::Short, ++p;
  else if (p[0] == 'w')
    c.size = Size::Wide, ++p;
  else if (p[0] == 'z')
    c.size = Size::Pointer, ++p;
  c.conversion = *p;
  return c;
}

// What a conversion takes from the arguments, after any '*' width and precision.
enum class Takes { Nothing, Int, LongLong, Word, Pointer, Double, String };

Takes takesOf(const Conversion& c) {
  switch (c.conversion) {
    case 'd':
    case 'i':
    case 'u':
    case 'x':
    case 'X':
    case 'o': return c.size == Size::LongLong ? Takes::LongLong : c.size == Size::Pointer ? Takes::Word : Takes::Int;
    case 'c':
    case 'C': return Takes::Int;
    case 's':
    case 'S':
    case 'Z': return Takes::String;
    case 'p':
    case 'n': return Takes::Pointer;
    case 'e':
    case 'E':
    case 'f':
    case 'g':
    case 'G': return Takes::Double;
    default: return Takes::Nothing;
  }
}

void appendWide(std::string& out, const uint16_t* text, size_t units, int precision) {
  if (text == nullptr) {
    out += "(null)";
    return;
  }
  size_t limit = precision >= 0 ? static_cast<size_t>(precision) : SIZE_MAX;
  for (size_t i = 0; i < units && i < limit; ++i) {
    if (units == SIZE_MAX && text[i] == 0) break;
    out.push_back(text[i] < 0x80 ? static_cast<char>(text[i]) : '?');
  }
}

void appendPadded(std::string& out, const std::string& body, std::string_view flags, int width) {
  bool left = flags.find('-') != std::string_view::npos;
  size_t pad = width > 0 && static_cast<size_t>(width) > body.size() ? width - body.size() : 0;
  if (!left) out.append(pad, ' ');
  out += body;
  if (left) out.append(pad, ' ');
}

// Formats one integer conversion with the host's snprintf and a host length modifier.
template <typename Arguments>
std::string formatInteger(const Conversion& c, Arguments& args) {
  std::string spec = "%" + std::string(c.flags);
  if (c.width >= 0) spec += std::to_string(c.width);
  if (c.precision >= 0) spec += "." + std::to_string(c.precision);
  bool isSigned = c.conversion == 'd' || c.conversion == 'i';
  char buffer[128];
  switch (c.size) {
    case Size::LongLong: {
      spec += "ll";
      spec += c.conversion;
      long long value = args.takeLongLong();
      if (isSigned)
        std::snprintf(buffer, sizeof buffer, spec.c_str(), value);
      else
        std::snprintf(buffer, sizeof buffer, spec.c_str(), static_cast<unsigned long long>(value));
      break;
    }
    case Size::Pointer: {
      spec += "z";
      spec += c.conversion;
      size_t value = args.takeWord();
      if (isSigned)
        std::snprintf(buffer, sizeof buffer, spec.c_str(), static_cast<ssize_t>(value));
      else
        std::snprintf(buffer, sizeof buffer, spec.c_str(), value);
      break;
    }
    case Size::Short: spec += "h"; [[fallthrough]];
    default: {
      // int, long and the I32 prefix are all 32 bits on Windows.
      spec += c.conversion;
      int value = args.takeInt();
      if (isSigned)
        std::snprintf(buffer, sizeof buffer, spec.c_str(), value);
      else
        std::snprintf(buffer, sizeof buffer, spec.c_str(), static_cast<unsigned int>(value));
      break;
    }
  }
  return buffer;
}

template <typename Arguments>
std::string format(const char* format, Arguments& args) {
  std::string out;
  if (format == nullptr) return out;
  for (const char* p = format; *p != '\0'; ++p) {
    if (*p != '%') {
      out.push_back(*p);
      continue;
    }
    const char* start = p++;
    Conversion c = parseConversion(p);
    if (c.widthFromArgument) c.width = args.takeInt();
    if (c.precisionFromArgument) c.precision = args.takeInt();
    switch (c.conversion) {
      case 'd':
      case 'i':
      case 'u':
      case 'x':
      case 'X':
      case 'o': out += formatInteger(c, args); break;
      case 'c': {
        int ch = args.takeInt();
        bool wide = c.size == Size::Wide || c.size == Size::Long;
        appendPadded(out, std::string(1, static_cast<char>(wide ? (ch < 0x80 ? ch : '?') : ch)), c.flags, c.width);
        break;
      }
      case 'C': {
        int ch = args.takeInt();
        appendPadded(out, std::string(1, static_cast<char>(ch < 0x80 ? ch : '?')), c.flags, c.width);
        break;
      }
      case 's': {
        std::string body;
        if (c.size == Size::Wide || c.size == Size::Long) {
          appendWide(body, static_cast<const uint16_t*>(args.takePointer()), SIZE_MAX, c.precision);
        } else {
          const char* text = static_cast<const char*>(args.takePointer());
          body = text == nullptr ? "(null)" : c.precision >= 0 ? std::string(text, strnlen(text, c.precision)) : text;
        }
        appendPadded(out, body, c.flags, c.width);
        break;
      }
      case 'S': {
        std::string body;
        appendWide(body, static_cast<const uint16_t*>(args.takePointer()), SIZE_MAX, c.precision);
        appendPadded(out, body, c.flags, c.width);
        break;
      }
      case 'Z': {
        std::string body;
        if (c.size == Size::Wide) {
          auto* s = static_cast<const UNICODE_STRING*>(args.takePointer());
          if (s == nullptr)
            body = "(null)";
          else
            appendWide(body, reinterpret_cast<const uint16_t*>(s->Buffer), s->Length / 2, c.precision);
        } else {
          auto* s = static_cast<const ANSI_STRING*>(args.takePointer());
          body = s == nullptr || s->Buffer == nullptr ? "(null)" : std::string(s->Buffer, s->Length);
        }
        appendPadded(out, body, c.flags, c.width);
        break;
      }
      case 'p': {
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "%0*llX", static_cast<int>(2 * sizeof(void*)),
                      static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(args.takePointer())));
        appendPadded(out, buffer, c.flags, c.width);
        break;
      }
      case 'e':
      case 'E':
      case 'f':
      case 'g':
      case 'G': {
        std::string spec = "%" + std::string(c.flags) + (c.width >= 0 ? std::to_string(c.width) : "") +
                           (c.precision >= 0 ? "." + std::to_string(c.precision) : "") + c.conversion;
        char buffer[128];
        std::snprintf(buffer, sizeof buffer, spec.c_str(), args.takeDouble());
        out += buffer;
        break;
      }
      case '%': out.push_back('%'); break;
      case 'n':
        (void)args.takePointer();  // never written: the kernel does not support %n either
        break;
      case '\0': out.append(start); return out;
      default: out.append(start, p + 1); break;
    }
  }
  return out;
}

}  // namespace

std::string formatKernel(const char* text, VaListArguments& args) { return format(text, args); }
std::string formatKernel(const char* text, CapturedArguments& args) { return format(text, args); }

int captureArguments(const char* format, va_list args, uint64_t* slots, unsigned capacity) {
  VaListArguments source(args);
  unsigned used = 0;
  auto store = [&](uint64_t value) {
    if (used == capacity) return false;
    slots[used++] = value;
    return true;
  };
  for (const char* p = std::strchr(format, '%'); p != nullptr; p = std::strchr(p + 1, '%')) {
    ++p;
    Conversion c = parseConversion(p);
    if (c.conversion == '\0') break;
    if (c.widthFromArgument && !store(static_cast<uint64_t>(source.takeInt()))) return -1;
    if (c.precisionFromArgument && !store(static_cast<uint64_t>(source.takeInt()))) return -1;
    bool stored = true;
    switch (takesOf(c)) {
      case Takes::Nothing: break;
      case Takes::Int: stored = store(static_cast<uint64_t>(source.takeInt())); break;
      case Takes::LongLong: stored = store(static_cast<uint64_t>(source.takeLongLong())); break;
      case Takes::Word: stored = store(static_cast<uint64_t>(source.takeWord())); break;
      case Takes::Pointer:
        stored = store(static_cast<uint64_t>(reinterpret_cast<uintptr_t>(source.takePointer())));
        break;
      case Takes::Double: stored = store(__builtin_bit_cast(uint64_t, source.takeDouble())); break;
      case Takes::String: return -1;  // the text it points to may be gone by the time the output is read
    }
    if (!stored) return -1;
  }
  return static_cast<int>(used);
}

}  // namespace ntsim
