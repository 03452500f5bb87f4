#include "json.h"

#include <cstdio>

namespace pdctl {
namespace {

// Length of the valid UTF-8 sequence at s[i], or 0 when there is none.
size_t utf8Length(std::string_view s, size_t i) {
  auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char b = byte(i);
  size_t n;
  uint32_t code;
  if (b >= 0xC2 && b <= 0xDF)
    n = 2, code = b & 0x1F;
  else if (b >= 0xE0 && b <= 0xEF)
    n = 3, code = b & 0x0F;
  else if (b >= 0xF0 && b <= 0xF4)
    n = 4, code = b & 0x07;
  else
    return 0;
  if (i + n > s.size()) return 0;
  for (size_t k = 1; k < n; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(i + k) & 0x3F);
  }
  if ((n == 3 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF))) ||
      (n == 4 && (code < 0x10000 || code > 0x10FFFF))) {
    return 0;
  }
  return n;
}

void appendEscaped(std::string& out, unsigned char c) {
  char buffer[8];
  std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
  out += buffer;
}

}  // namespace

std::string jsonString(std::string_view bytes) {
  std::string out = "\"";
  for (size_t i = 0; i < bytes.size();) {
    auto c = static_cast<unsigned char>(bytes[i]);
    switch (c) {
      case '"':
        out += "\\\"";
        ++i;
        continue;
      case '\\':
        out += "\\\\";
        ++i;
        continue;
      case '\n':
        out += "\\n";
        ++i;
        continue;
      case '\r':
        out += "\\r";
        ++i;
        continue;
      case '\t':
        out += "\\t";
        ++i;
        continue;
      default: break;
    }
    if (c < 0x20 || c == 0x7F) {
      appendEscaped(out, c);
      ++i;
    } else if (c < 0x80) {
      out.push_back(static_cast<char>(c));
      ++i;
    } else if (size_t n = utf8Length(bytes, i); n != 0) {
      out.append(bytes.substr(i, n));
      i += n;
    } else {
      appendEscaped(out, c);
      ++i;
    }
  }
  out += '"';
  return out;
}

std::string hexString(const uint8_t* data, size_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    out.push_back(kDigits[data[i] >> 4]);
    out.push_back(kDigits[data[i] & 15]);
  }
  return out;
}

std::string Json::dump() const {
  struct Writer {
    std::string operator()(std::nullptr_t) const { return "null"; }
    std::string operator()(bool b) const { return b ? "true" : "false"; }
    std::string operator()(int64_t n) const { return std::to_string(n); }
    std::string operator()(const std::string& s) const { return jsonString(s); }
    std::string operator()(const Array& a) const {
      std::string out = "[";
      for (size_t i = 0; i < a.size(); ++i) {
        if (i != 0) out += ',';
        out += a[i].dump();
      }
      return out + "]";
    }
    std::string operator()(const Object& o) const {
      std::string out = "{";
      for (size_t i = 0; i < o.size(); ++i) {
        if (i != 0) out += ',';
        out += jsonString(o[i].first) + ":" + o[i].second.dump();
      }
      return out + "}";
    }
  };
  return std::visit(Writer{}, value_);
}

}  // namespace pdctl
