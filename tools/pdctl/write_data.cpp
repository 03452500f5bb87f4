// The data `write` sends: TEXT (the rest of the command), hex:HEX (pairs of
// hex digits) or fill:BYTE:N (N copies of BYTE), within pdctl's 16 MiB limit.
#include "command_args.h"

#include "numbers.h"

namespace pdctl {

std::vector<uint8_t> writeData(const Args& a, size_t first) {
  if (!a[first].quoted && (a.text(first).starts_with("hex:") || a.text(first).starts_with("fill:")) &&
      a.size() > first + 1) {
    std::string kind = a.text(first).substr(0, a.text(first).find(':') + 1);
    a.bad(kind + " is the whole of the data, yet " + inQuotes(a.text(first + 1)) +
          " follows it: expected nothing after it (quote text that starts with " + kind + ")");
  }
  if (a.size() == first + 1 && !a[first].quoted) {
    const std::string& word = a.text(first);
    if (word.starts_with("hex:")) {
      std::string digits = word.substr(4);
      size_t notHex = digits.find_first_not_of("0123456789abcdefABCDEF");
      if (notHex != std::string::npos) {
        a.bad("bad hex data " + inQuotes(digits) + ": " + inQuotes(digits.substr(notHex, 1)) +
              " is not a hex digit; expected pairs of 0-9, a-f, e.g. hex:48690a");
      }
      if (digits.size() % 2 != 0) {
        a.bad("bad hex data " + inQuotes(digits) + ": an odd number of hex digits (" + std::to_string(digits.size()) +
              "); expected two digits per byte, e.g. hex:48690a");
      }
      if (digits.size() / 2 > kMaxLength) a.bad("data over the 16 MiB limit");
      std::vector<uint8_t> data;
      for (size_t i = 0; i < digits.size(); i += 2) {
        data.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
      }
      return data;
    }
    if (word.starts_with("fill:")) {
      auto colon = word.find(':', 5);
      if (colon == std::string::npos)
        a.bad("bad fill " + inQuotes(word) + ": expected fill:BYTE:N, e.g. fill:0x41:100");
      uint32_t byte = parseNumber(word.substr(5, colon - 5), "the fill byte");
      if (byte > 0xFF) a.bad("fill byte " + word.substr(5, colon - 5) + " is not a byte: expected 0 to 255");
      uint32_t count = parseLength(word.substr(colon + 1), "the fill length");
      return std::vector<uint8_t>(count, static_cast<uint8_t>(byte));
    }
  }
  std::string text;
  for (size_t i = first; i < a.size(); ++i) text += (i == first ? "" : " ") + a.text(i);
  if (text.size() > kMaxLength) a.bad("data over the 16 MiB limit");
  return std::vector<uint8_t>(text.begin(), text.end());
}

}  // namespace pdctl
