// UTF-16 <-> UTF-8: driver strings are UTF-16 (UNICODE_STRING, the text a
// driver returns), the host's text is UTF-8. Malformed input is never an
// error: what cannot be decoded becomes U+FFFD, as Windows' own converters do.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace pdkit::text {

// An unpaired surrogate becomes U+FFFD.
std::string utf8FromUtf16(std::u16string_view text);
// Little-endian UTF-16 bytes, as a driver's output buffer holds them; an odd last byte is left out.
std::string utf8FromUtf16Le(std::span<const uint8_t> bytes);
// A byte that does not start a well-formed UTF-8 sequence becomes U+FFFD.
std::u16string utf16FromUtf8(std::string_view text);

}  // namespace pdkit::text
