// DbgPrint: the kernel debugger's output, formatted as the kernel formats it
// (printf plus %wZ, %ws, %S, %Z and the I64/I32/I size prefixes, where
// "long" is 32 bits as on Windows), recorded call by call.
#include "state.h"

#include <cstdarg>
#include <cstdio>

namespace ntsim {
namespace {

enum class Size { Default, Short, Long, LongLong, Pointer, Wide };

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

void appendPadded(std::string& out, const std::string& body, const std::string& flags, int width) {
  bool left = flags.find('-') != std::string::npos;
  size_t pad = width > 0 && static_cast<size_t>(width) > body.size() ? width - body.size() : 0;
  if (!left) out.append(pad, ' ');
  out += body;
  if (left) out.append(pad, ' ');
}

// Formats one integer conversion with the host's snprintf and a host length modifier.
std::string formatInteger(const std::string& flags, int width, int precision, char conversion, Size size,
                          va_list& args) {
  std::string spec = "%" + flags;
  if (width >= 0) spec += std::to_string(width);
  if (precision >= 0) spec += "." + std::to_string(precision);
  bool isSigned = conversion == 'd' || conversion == 'i';
  char buffer[128];
  switch (size) {
    case Size::LongLong:
      spec += "ll";
      spec += conversion;
      if (isSigned) std::snprintf(buffer, sizeof buffer, spec.c_str(), va_arg(args, long long));
      else std::snprintf(buffer, sizeof buffer, spec.c_str(), va_arg(args, unsigned long long));
      break;
    case Size::Pointer:
      spec += "z";
      spec += conversion;
      if (isSigned) std::snprintf(buffer, sizeof buffer, spec.c_str(), va_arg(args, ssize_t));
      else std::snprintf(buffer, sizeof buffer, spec.c_str(), va_arg(args, size_t));
      break;
    case Size::Short:
      spec += "h";
      [[fallthrough]];
    default:
      // int, long and the I32 prefix are all 32 bits on Windows.
      spec += conversion;
      if (isSigned) std::snprintf(buffer, sizeof buffer, spec.c_str(), va_arg(args, int));
      else std::snprintf(buffer, sizeof buffer, spec.c_str(), va_arg(args, unsigned int));
      break;
  }
  return buffer;
}

}  // namespace

std::string formatKernel(const char* format, va_list args) {
  std::string out;
  if (format == nullptr) return out;
  va_list ap;
  va_copy(ap, args);
  for (const char* p = format; *p != '\0'; ++p) {
    if (*p != '%') {
      out.push_back(*p);
      continue;
    }
    const char* start = p++;
    std::string flags;
    while (*p == '-' || *p == '+' || *p == ' ' || *p == '#' || *p == '0') flags.push_back(*p++);
    int width = -1;
    if (*p == '*') {
      width = va_arg(ap, int);
      ++p;
    } else if (*p >= '0' && *p <= '9') {
      width = 0;
      while (*p >= '0' && *p <= '9') width = width * 10 + (*p++ - '0');
    }
    int precision = -1;
    if (*p == '.') {
      ++p;
      precision = 0;
      if (*p == '*') {
        precision = va_arg(ap, int);
        ++p;
      } else {
        while (*p >= '0' && *p <= '9') precision = precision * 10 + (*p++ - '0');
      }
    }
    Size size = Size::Default;
    if (p[0] == 'I' && p[1] == '6' && p[2] == '4') size = Size::LongLong, p += 3;
    else if (p[0] == 'I' && p[1] == '3' && p[2] == '2') size = Size::Default, p += 3;
    else if (p[0] == 'I') size = Size::Pointer, ++p;
    else if (p[0] == 'l' && p[1] == 'l') size = Size::LongLong, p += 2;
    else if (p[0] == 'l') size = Size::Long, ++p;
    else if (p[0] == 'h') size = Size::Short, ++p;
    else if (p[0] == 'w') size = Size::Wide, ++p;
    else if (p[0] == 'z') size = Size::Pointer, ++p;
    char conversion = *p;
    switch (conversion) {
      case 'd': case 'i': case 'u': case 'x': case 'X': case 'o':
        out += formatInteger(flags, width, precision, conversion, size, ap);
        break;
      case 'c': {
        int c = va_arg(ap, int);
        appendPadded(out, std::string(1, static_cast<char>(size == Size::Wide || size == Size::Long ? (c < 0x80 ? c : '?') : c)), flags, width);
        break;
      }
      case 'C': {
        int c = va_arg(ap, int);
        appendPadded(out, std::string(1, static_cast<char>(c < 0x80 ? c : '?')), flags, width);
        break;
      }
      case 's': {
        std::string body;
        if (size == Size::Wide || size == Size::Long) {
          appendWide(body, va_arg(ap, const uint16_t*), SIZE_MAX, precision);
        } else {
          const char* text = va_arg(ap, const char*);
          body = text == nullptr ? "(null)" : precision >= 0 ? std::string(text, strnlen(text, precision)) : text;
        }
        appendPadded(out, body, flags, width);
        break;
      }
      case 'S': {
        std::string body;
        appendWide(body, va_arg(ap, const uint16_t*), SIZE_MAX, precision);
        appendPadded(out, body, flags, width);
        break;
      }
      case 'Z': {
        std::string body;
        if (size == Size::Wide) {
          auto* s = va_arg(ap, const UNICODE_STRING*);
          if (s == nullptr) body = "(null)";
          else appendWide(body, reinterpret_cast<const uint16_t*>(s->Buffer), s->Length / 2, precision);
        } else {
          auto* s = va_arg(ap, const ANSI_STRING*);
          body = s == nullptr || s->Buffer == nullptr ? "(null)" : std::string(s->Buffer, s->Length);
        }
        appendPadded(out, body, flags, width);
        break;
      }
      case 'p': {
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "%0*llX", static_cast<int>(2 * sizeof(void*)),
                      static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(va_arg(ap, void*))));
        appendPadded(out, buffer, flags, width);
        break;
      }
      case 'e': case 'E': case 'f': case 'g': case 'G': {
        std::string spec = "%" + flags + (width >= 0 ? std::to_string(width) : "") +
                           (precision >= 0 ? "." + std::to_string(precision) : "") + conversion;
        char buffer[128];
        std::snprintf(buffer, sizeof buffer, spec.c_str(), va_arg(ap, double));
        out += buffer;
        break;
      }
      case '%':
        out.push_back('%');
        break;
      case 'n':
        (void)va_arg(ap, void*);  // never written: the kernel does not support %n either
        break;
      case '\0':
        out.append(start);
        va_end(ap);
        return out;
      default:
        out.append(start, p + 1);
        break;
    }
  }
  va_end(ap);
  return out;
}

void recordDebugOutput(std::string text) {
  auto& s = M();
  std::function<void(const std::string&)> echo;
  {
    std::lock_guard lock(s.kdMutex);
    s.kd.push_back(DebugRecord{text});
    echo = s.kdEcho;
  }
  if (echo) echo(text);
}

std::vector<DebugRecord> Machine::debugOutput() const {
  std::lock_guard lock(state_->kdMutex);
  return state_->kd;
}

std::string Machine::debugStream() const {
  std::lock_guard lock(state_->kdMutex);
  std::string stream;
  for (const auto& record : state_->kd) stream += record.text;
  return stream;
}

void Machine::clearDebugOutput() {
  std::lock_guard lock(state_->kdMutex);
  state_->kd.clear();
}

void Machine::setDebugEcho(std::function<void(const std::string&)> echo) {
  std::lock_guard lock(state_->kdMutex);
  state_->kdEcho = std::move(echo);
}

}  // namespace ntsim

extern "C" ULONG DbgPrint(PCSTR Format, ...) {
  va_list args;
  va_start(args, Format);
  std::string text = ntsim::formatKernel(Format, args);
  va_end(args);
  ntsim::recordDebugOutput(std::move(text));
  return STATUS_SUCCESS;
}
