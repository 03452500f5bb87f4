#include "text/utf16.h"

namespace pdkit::text {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool isHighSurrogate(char32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool isLowSurrogate(char32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

void putUtf8(std::string& out, char32_t code) {
  if (code < 0x80) {
    out.push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out.push_back(static_cast<char>(0xC0 | code >> 6));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | code >> 12));
    out.push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | code >> 18));
    out.push_back(static_cast<char>(0x80 | (code >> 12 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

// Decodes the units that unit(i) gives for i below `count`.
template <typename UnitAt>
std::string decodeUtf16(size_t count, UnitAt unit) {
  std::string out;
  out.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    char32_t code = unit(i);
    if (isHighSurrogate(code) && i + 1 < count && isLowSurrogate(unit(i + 1))) {
      putUtf8(out, 0x10000 + ((code - 0xD800) << 10) + (unit(i + 1) - 0xDC00));
      ++i;
      continue;
    }
    putUtf8(out, isHighSurrogate(code) || isLowSurrogate(code) ? kReplacement : code);
  }
  return out;
}

// The length of the UTF-8 sequence that starts with `lead`, 0 when it cannot start one.
size_t sequenceLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

}  // namespace

std::string utf8FromUtf16(std::u16string_view text) {
  return decodeUtf16(text.size(), [&](size_t i) { return static_cast<char32_t>(text[i]); });
}

std::string utf8FromUtf16Le(std::span<const uint8_t> bytes) {
  return decodeUtf16(bytes.size() / 2,
                     [&](size_t i) { return static_cast<char32_t>(bytes[2 * i] | bytes[2 * i + 1] << 8); });
}

std::u16string utf16FromUtf8(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    auto lead = static_cast<unsigned char>(text[i]);
    size_t length = sequenceLength(lead);
    char32_t code = length == 1 ? lead : lead & (0x7F >> length);
    bool wellFormed = length != 0 && i + length <= text.size();
    for (size_t k = 1; wellFormed && k < length; ++k) {
      auto next = static_cast<unsigned char>(text[i + k]);
      wellFormed = (next & 0xC0) == 0x80;
      code = code << 6 | (next & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    if (wellFormed && length > 1) {
      static constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
      wellFormed = code >= kLeast[length] && code <= 0x10FFFF && !(code >= 0xD800 && code <= 0xDFFF);
    }
    if (!wellFormed) {
      out.push_back(static_cast<char16_t>(kReplacement));
      ++i;
      continue;
    }
    if (code >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(code));
    }
    i += length;
  }
  return out;
}

}  // namespace pdkit::text
