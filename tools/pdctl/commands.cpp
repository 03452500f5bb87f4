#include "commands.h"

#include "capability_table.h"
#include "errors.h"
#include "io_buffer.h"
#include "numbers.h"
#include "session.h"
#include "statuses.h"

#include "sharefiles/pdioctl.h"

#include <algorithm>
#include <array>
#include <optional>

namespace pdctl {
namespace {

// The arguments of one command, after its name.
class Args {
 public:
  Args(std::string_view name, std::string_view usage, const std::vector<Word>& words)
      : name_(name), usage_(usage), words_(words.begin() + 1, words.end()) {}

  size_t size() const { return words_.size(); }
  const Word& operator[](size_t i) const { return words_[i]; }
  const std::string& text(size_t i) const { return words_[i].text; }

  // The command's name goes in front where the error is reported (runCommand).
  [[noreturn]] void bad(const std::string& what) const { throw CommandError(what + "; usage: " + std::string(usage_)); }

  void count(size_t least, size_t most) const {
    if (words_.size() < least) bad("too few arguments");
    if (words_.size() > most) bad("too many arguments (" + std::to_string(words_.size()) + ")");
  }

  // A leading handle number, present when all `others` other arguments follow it.
  std::optional<uint32_t> handle(size_t others) {
    if (words_.size() <= others) return std::nullopt;
    uint32_t number = parseNumber(words_[0].text, "the handle");
    words_.erase(words_.begin());
    return number;
  }

  // Takes out an unquoted option word such as --async; true when it was there.
  bool flag(std::string_view option) {
    for (auto it = words_.begin(); it != words_.end(); ++it) {
      if (!it->quoted && it->text == option) {
        words_.erase(it);
        return true;
      }
    }
    return false;
  }

  uint32_t number(size_t i, std::string_view what) const {
    if (words_[i].quoted) bad(std::string(what) + " must be a number, not text in quotes");
    return parseNumber(words_[i].text, what);
  }

  // A 32-bit code as given: also a negative decimal, as two's complement.
  uint32_t code(size_t i, std::string_view what) const {
    if (int32_t value; !words_[i].quoted && parseSigned(words_[i].text, value)) return static_cast<uint32_t>(value);
    return number(i, what);
  }

  uint32_t length(size_t i, std::string_view what) const {
    if (words_[i].quoted) bad(std::string(what) + " must be a number, not text in quotes");
    return parseLength(words_[i].text, what);
  }

 private:
  std::string_view name_;
  std::string_view usage_;
  std::vector<Word> words_;
};

bool failed(int32_t status) { return (static_cast<uint32_t>(status) >> 30) >= 2; }

// The bytes as a hex dump with their printable characters, 16 to a line.
std::vector<std::string> dumpLines(const std::vector<uint8_t>& data) {
  static constexpr size_t kShown = 4096;
  static constexpr char kDigits[] = "0123456789abcdef";
  std::vector<std::string> lines;
  size_t shown = std::min(data.size(), kShown);
  for (size_t offset = 0; offset < shown; offset += 16) {
    std::string hex, text;
    for (size_t i = 0; i < 16; ++i) {
      if (offset + i < shown) {
        uint8_t b = data[offset + i];
        hex.push_back(kDigits[b >> 4]);
        hex.push_back(kDigits[b & 15]);
        hex.push_back(' ');
        text.push_back(b >= 0x20 && b < 0x7F ? static_cast<char>(b) : '.');
      } else {
        hex += "   ";
      }
    }
    char position[24];
    std::snprintf(position, sizeof position, "%04zx", offset);
    lines.push_back(std::string(position) + "  " + hex + " |" + text + "|");
  }
  if (data.size() > shown) {
    lines.push_back("... " + std::to_string(data.size() - shown) + " more bytes (--json shows them all)");
  }
  return lines;
}

// UTF-16LE text as UTF-8.
std::string fromUtf16(const std::vector<uint8_t>& bytes) {
  std::string out;
  auto unit = [&](size_t i) { return static_cast<uint32_t>(bytes[i] | bytes[i + 1] << 8); };
  auto put = [&](uint32_t code) {
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
  };
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    uint32_t code = unit(i);
    if (code >= 0xD800 && code <= 0xDBFF && i + 3 < bytes.size()) {
      uint32_t low = unit(i + 2);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        put(0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00));
        i += 2;
        continue;
      }
    }
    put(code >= 0xD800 && code <= 0xDFFF ? 0xFFFD : code);
  }
  return out;
}

// Text as lines for the transcript: line ends split it, control characters are shown escaped.
std::vector<std::string> textLines(const std::string& text) {
  std::vector<std::string> lines(1);
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    if (c == '\n') {
      lines.emplace_back();
    } else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(c));
      lines.back() += escaped;
    } else {
      lines.back().push_back(c);
    }
  }
  if (lines.back().empty()) lines.pop_back();
  for (auto& line : lines) line = "| " + line;
  return lines;
}

std::string minorText(uint32_t minor, std::span<const NamedValue> table) {
  auto name = nameOf(minor, table);
  return name.empty() ? hex32(minor) : std::string(name);
}

// "device type 0x0022, function 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS"
std::string controlCodeText(uint32_t code) {
  static constexpr std::array<const char*, 4> kMethods{"METHOD_BUFFERED", "METHOD_IN_DIRECT", "METHOD_OUT_DIRECT",
                                                       "METHOD_NEITHER"};
  static constexpr std::array<const char*, 4> kAccess{"FILE_ANY_ACCESS", "FILE_READ_ACCESS", "FILE_WRITE_ACCESS",
                                                      "FILE_READ_ACCESS | FILE_WRITE_ACCESS"};
  char text[96];
  std::snprintf(text, sizeof text, "device type 0x%04X, function 0x%03X", code >> 16, (code >> 2) & 0xFFF);
  return std::string(text) + ", " + kMethods[code & 3] + ", " + kAccess[(code >> 14) & 3];
}

// While a power command runs: a driver without a power routine is the cause of what the verifier reports.
class PowerRoutineCause {
 public:
  explicit PowerRoutineCause(Session& s) : s_(s) {
    if (!s.backend().handlesPower()) {
      s.scripted("no power routine",
                 "the driver has no IRP_MJ_POWER routine: the I/O manager's default routine fails power IRPs "
                 "without PoStartNextPowerIrp; a WDM driver passes them down (PoStartNextPowerIrp, PoCallDriver)");
    }
  }
  ~PowerRoutineCause() { s_.scripted("no power routine", ""); }
  PowerRoutineCause(const PowerRoutineCause&) = delete;
  PowerRoutineCause& operator=(const PowerRoutineCause&) = delete;

 private:
  Session& s_;
};

void addHandleField(Result& result, int number) {
  result.fields.emplace_back("handle", number);
  result.summary = ", handle " + std::to_string(number);
}

// ---- the commands

void cmdOpen(Session& s, Args& a) {
  a.count(0, 1);
  std::string suffix = a.size() == 1 ? a.text(0) : std::string();
  std::string path = s.backend().devicePath(suffix);
  Token token = 0;
  Outcome outcome = s.backend().open(suffix, token);
  Result result = s.requestResult("open", outcome);
  if (token != 0) {
    addHandleField(result, s.addHandle(token));
  } else {
    result.fields.emplace_back("handle", nullptr);
    std::string why = path + ": " + outcome.statusName;
    if (outcome.status == static_cast<int32_t>(0xC0000034)) {  // STATUS_OBJECT_NAME_NOT_FOUND
      why += "; no such device: check --device";
      // (The Windows backend gives its own hints for its errors.)
      if (s.backend().world() == "ntsim") {
        result.lines.push_back("no device is named " + path + ": check --device (the name after \\\\.\\)");
      }
    }
    s.openFailed(why);
  }
  result.fields.emplace_back("path", path);
  s.report(std::move(result));
}

void cmdClose(Session& s, Args& a) {
  a.count(0, 1);
  auto [number, token] = s.handle(a.handle(0));
  Outcome outcome = s.backend().close(token);
  s.dropHandle(number);
  Result result = s.requestResult("close", outcome);
  addHandleField(result, number);
  s.report(std::move(result));
}

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

// Sends a read or write without waiting; `wait` shows its result.
void sendAsync(Session& s, const char* cmd, int handleNumber, Token token, std::unique_ptr<IoBuffer> buffer,
               uint32_t length) {
  PendingRequest request{handleNumber, cmd, length, std::move(buffer), {}};
  request.outcome = std::string_view(cmd) == "read" ? s.backend().readAsync(token, request.buffer->data(), length)
                                                    : s.backend().writeAsync(token, request.buffer->data(), length);
  s.pending().push_back(std::move(request));
  Result result = s.localResult(cmd, "");
  addHandleField(result, handleNumber);
  result.summary = "sent without waiting on handle " + std::to_string(handleNumber) + " (" +
                   std::to_string(s.pending().size()) + " pending); wait shows its result";
  result.fields.emplace_back("length", length);
  result.fields.emplace_back("async", true);
  s.report(std::move(result));
}

void cmdWrite(Session& s, Args& a) {
  bool async = a.flag("--async");
  if (a.size() == 0) a.bad("nothing to write: expected TEXT, hex:HEX or fill:BYTE:N");
  // A leading number is the handle only when one word follows it: `write 42 is the answer` is all text.
  std::optional<uint32_t> number;
  if (a.size() == 2 && !a[0].quoted && isNumber(a.text(0))) number = a.handle(1);
  std::vector<uint8_t> data = writeData(a, 0);
  auto [handleNumber, token] = s.handle(number);
  if (async) {
    auto copy = std::make_unique<IoBuffer>(data.size());
    std::copy(data.begin(), data.end(), copy->data());
    return sendAsync(s, "write", handleNumber, token, std::move(copy), static_cast<uint32_t>(data.size()));
  }
  IoBuffer buffer(data.size());
  std::copy(data.begin(), data.end(), buffer.data());
  Outcome outcome = s.backend().write(token, buffer.data(), static_cast<uint32_t>(data.size()));
  Result result = s.requestResult("write", outcome);
  addHandleField(result, handleNumber);
  result.fields.emplace_back("length", data.size());
  s.report(std::move(result));
}

// The first `bytes` bytes of a buffer that came back (never more than the buffer).
std::vector<uint8_t> received(const IoBuffer& buffer, uint64_t bytes) {
  size_t count = static_cast<size_t>(std::min<uint64_t>(bytes, buffer.size()));
  return std::vector<uint8_t>(buffer.data(), buffer.data() + count);
}

void cmdRead(Session& s, Args& a) {
  bool async = a.flag("--async");
  a.count(1, 2);
  auto number = a.handle(1);
  uint32_t length = a.length(0, "the read length");
  auto [handleNumber, token] = s.handle(number);
  if (async) return sendAsync(s, "read", handleNumber, token, std::make_unique<IoBuffer>(length), length);
  IoBuffer buffer(length);
  Outcome outcome = s.backend().read(token, buffer.data(), length);
  Result result = s.requestResult("read", outcome);
  addHandleField(result, handleNumber);
  result.fields.emplace_back("length", length);
  if (!failed(outcome.status)) result.data = received(buffer, outcome.bytes);
  result.lines = dumpLines(result.data);
  s.report(std::move(result));
}

// Sends a control code without input; returns what came back.
Result control(Session& s, const char* cmd, std::optional<uint32_t> number, uint32_t code, uint32_t outLength) {
  auto [handleNumber, token] = s.handle(number);
  IoBuffer out(outLength);
  Outcome outcome = s.backend().deviceIoControl(token, code, nullptr, 0, out.data(), outLength);
  Result result = s.requestResult(cmd, outcome);
  addHandleField(result, handleNumber);
  result.fields.emplace_back("code", hex32(code));
  if (!failed(outcome.status)) result.data = received(out, outcome.bytes);
  return result;
}

void cmdDescribe(Session& s, Args& a) {
  a.count(0, 2);
  auto number = a.handle(1);
  uint32_t outLength = a.size() == 1 ? a.length(0, "the output length") : 1024;
  Result result = control(s, "describe", number, IOCTL_GET_DESCRIPTION, outLength);
  std::string text = fromUtf16(result.data);
  result.fields.emplace_back("text", text);
  result.lines = textLines(text);
  if (result.data.size() % 2 != 0)
    result.lines.push_back("(an odd number of bytes: the last one is not a whole UTF-16 character)");
  s.report(std::move(result));
}

void cmdTable(Session& s, Args& a) {
  a.count(0, 2);
  auto number = a.handle(1);
  uint32_t outLength = a.size() == 1 ? a.length(0, "the output length") : 64;
  Result result = control(s, "table", number, IOCTL_GET_CAPABILITY_TABLE, outLength);
  if (auto table = decodeTable(result.data)) {
    result.fields.emplace_back("table", tableJson(*table));
    result.lines = tableLines(*table);
  } else {
    result.fields.emplace_back("table", nullptr);
    if (!failed(result.outcome.status)) {
      result.lines.push_back("the reply holds " + std::to_string(result.data.size()) +
                             " bytes, fewer than the 64 of a whole table");
      auto dump = dumpLines(result.data);
      result.lines.insert(result.lines.end(), dump.begin(), dump.end());
    }
  }
  s.report(std::move(result));
}

void cmdIoctl(Session& s, Args& a) {
  a.count(1, 4);
  auto number = a.handle(3);
  uint32_t code = a.code(0, "the control code");
  uint32_t inLength = a.size() >= 2 ? a.length(1, "the input length") : 0;
  uint32_t outLength = a.size() >= 3 ? a.length(2, "the output length") : 0;
  auto [handleNumber, token] = s.handle(number);
  // The input counts up from 0, so that a driver that echoes it shows where each byte went.
  IoBuffer in(inLength);
  for (uint32_t i = 0; i < inLength; ++i) in.data()[i] = static_cast<uint8_t>(i);
  IoBuffer out(outLength);
  Outcome outcome = s.backend().deviceIoControl(token, code, in.data(), inLength, out.data(), outLength);
  Result result = s.requestResult("ioctl", outcome);
  addHandleField(result, handleNumber);
  result.fields.emplace_back("code", hex32(code));
  result.fields.emplace_back("in_length", inLength);
  result.fields.emplace_back("out_length", outLength);
  if (!failed(outcome.status)) result.data = received(out, outcome.bytes);
  result.lines.push_back("code " + hex32(code) + ": " + controlCodeText(code));
  auto dump = dumpLines(result.data);
  result.lines.insert(result.lines.end(), dump.begin(), dump.end());
  s.report(std::move(result));
}

// The PnP manager's whole sequences, by the name `pnp` takes for each.
constexpr std::pair<std::string_view, PnpSequence> kPnpSequences[] = {
    {"disable", PnpSequence::Disable},     {"enable", PnpSequence::Enable},       {"surprise", PnpSequence::Surprise},
    {"rebalance", PnpSequence::Rebalance}, {"uninstall", PnpSequence::Uninstall},
};

void cmdPnp(Session& s, Args& a) {
  a.count(1, 1);
  std::string name = lower(a.text(0));
  for (const auto& [sequence, which] : kPnpSequences) {
    if (name != sequence) continue;
    Result result = s.requestResult("pnp", s.backend().pnpSequence(which));
    result.label = "pnp " + name;
    result.fields.emplace_back("sequence", name);
    s.report(std::move(result));
    return;
  }
  uint32_t minor = parseNamed(a.text(0), pnpMinors(), "PnP minor function");
  if (minor > 0xFF) a.bad("minor function " + a.text(0) + " is not a byte: expected 0 to 255");
  Outcome outcome = s.backend().pnp(static_cast<uint8_t>(minor));
  Result result = s.requestResult("pnp", outcome);
  name = minorText(minor, pnpMinors());
  result.label = "pnp " + name;
  result.fields.emplace_back("minor", name);
  s.report(std::move(result));
}

void cmdPower(Session& s, Args& a) {
  a.count(1, 4);
  std::string kind = lower(a.text(0));
  uint32_t minor, type = 0, state = 0, action = 0;
  if (kind == "system" || kind == "device") {
    a.count(3, 4);
    std::string verb = lower(a.text(1));
    if (verb != "query" && verb != "set") a.bad("expected query or set after " + kind + ", not " + inQuotes(a.text(1)));
    minor = verb == "set" ? 2 : 3;  // IRP_MN_SET_POWER, IRP_MN_QUERY_POWER
    type = kind == "system" ? 0 : 1;
    state = parseNamed(a.text(2), kind == "system" ? systemStates() : deviceStates(),
                       kind == "system" ? "system power state" : "device power state");
    action = a.size() == 4      ? parseNamed(a.text(3), powerActions(), "power action")
             : kind == "system" ? actionForSystemState(state)
                                : 0;
  } else {
    a.count(1, 1);
    minor = parseNamed(a.text(0), powerMinors(), "power minor function (or system, device)");
    if (minor > 0xFF) a.bad("minor function " + a.text(0) + " is not a byte: expected 0 to 255");
  }
  PowerRoutineCause cause(s);
  Outcome outcome = s.backend().power(static_cast<uint8_t>(minor), type, state, action);
  Result result = s.requestResult("power", outcome);
  std::string name = minorText(minor, powerMinors());
  result.fields.emplace_back("minor", name);
  result.label = "power " + name;
  if (kind == "system" || kind == "device") {
    result.fields.emplace_back("type", kind);
    result.fields.emplace_back("state", state);
    result.fields.emplace_back("action", action);
    result.label +=
        " " + kind + " " + (kind == "system" ? systemStateText(state) : deviceStateText(state)) + ", " +
        (nameOf(action, powerActions()).empty() ? std::to_string(action) : std::string(nameOf(action, powerActions())));
  }
  s.report(std::move(result));
}

void cmdSleep(Session& s, Args& a) {
  a.count(1, 1);
  uint32_t state = parseNamed(a.text(0), systemStates(), "system power state");
  PowerRoutineCause cause(s);
  Outcome outcome = s.backend().sleep(state);
  Result result = s.requestResult("sleep", outcome);
  result.label = "sleep " + systemStateText(state);
  result.fields.emplace_back("state", state);
  result.fields.emplace_back("action", actionForSystemState(state));
  s.report(std::move(result));
}

void cmdWake(Session& s, Args& a) {
  a.count(0, 0);
  PowerRoutineCause cause(s);
  Outcome outcome = s.backend().wake();
  Result result = s.requestResult("wake", outcome);
  result.label = "wake " + systemStateText(1);
  result.fields.emplace_back("state", 1);
  s.report(std::move(result));
}

void cmdBus(Session& s, Args& a) {
  a.count(1, 64);
  std::string what = lower(a.text(0));
  std::string summary;
  Json::Object fields;
  if (what == "caps") {
    std::vector<BusSetting> settings;
    for (size_t i = 1; i < a.size(); ++i) {
      const std::string& word = a.text(i);
      auto eq = word.find('=');
      if (eq == std::string::npos && lower(word) == "default") {
        settings.push_back({"default", ""});
      } else if (eq == std::string::npos || eq == 0) {
        a.bad("bad setting " + inQuotes(word) +
              ": expected KEY=VALUE (e.g. D1=1, DeviceState=0:1:4:4:4:4:4) or default");
      } else {
        settings.push_back({word.substr(0, eq), word.substr(eq + 1)});
      }
    }
    s.backend().busCaps(settings);
    summary = "the bus answers IRP_MN_QUERY_CAPABILITIES with this report from now on";
    Result result = s.localResult("bus", summary);
    result.lines = s.backend().busCapsLines();
    result.fields.emplace_back("setting", "caps");
    s.report(std::move(result));
    return;
  }
  if (what == "fail") {
    a.count(2, 3);
    std::string which = lower(a.text(1));
    if (which == "off") {
      a.count(2, 2);
      s.backend().busFail(true, true, std::nullopt);
      summary = "the bus no longer fails requests";
      s.scripted("bus fail caps", "");
      s.scripted("bus fail power", "");
    } else if (which == "caps" || which == "power") {
      a.count(3, 3);
      std::optional<int32_t> status;
      if (lower(a.text(2)) != "off") status = parseStatus(a.text(2), "bus failure status");
      s.backend().busFail(which == "caps", which == "power", status);
      std::string requests = which == "caps" ? "IRP_MN_QUERY_CAPABILITIES" : "power IRPs (set and query)";
      summary = status ? "the bus fails " + requests + " with " + s.backend().statusName(*status) + " (" +
                             hex32(static_cast<uint32_t>(*status)) + ") from now on"
                       : "the bus no longer fails " + requests;
      s.scripted("bus fail " + which,
                 status ? "pdctl's bus fail " + which + ": " + summary.substr(0, summary.find(" from now on")) : "");
      if (status) fields.emplace_back("fail_status", hex32(static_cast<uint32_t>(*status)));
    } else {
      a.bad("expected caps, power or off after fail, not " + inQuotes(a.text(1)));
    }
    fields.emplace(fields.begin(), "setting", "fail");
  } else if (what == "pend") {
    a.count(2, 2);
    std::string on = lower(a.text(1));
    if (on != "on" && on != "off") a.bad("expected on or off after pend, not " + inQuotes(a.text(1)));
    s.backend().busPend(on == "on");
    summary = on == "on" ? "the bus completes requests later, from another thread at DISPATCH_LEVEL"
                         : "the bus completes requests at once";
    fields = {{"setting", "pend"}, {"pend", on == "on"}};
  } else {
    a.bad("expected caps, fail or pend after bus, not " + inQuotes(a.text(0)));
  }
  Result result = s.localResult("bus", summary);
  result.fields = std::move(fields);
  s.report(std::move(result));
}

void cmdFault(Session& s, Args& a) {
  a.count(1, 2);
  std::string kind = lower(a.text(0));
  std::optional<int32_t> status;
  if (a.size() == 2) status = parseStatus(a.text(1), "fault status");
  FaultKind fault;
  std::string summary;
  if (kind == "map") {
    fault = FaultKind::Mapping;
    summary = "the next MmMapLockedPagesSpecifyCache returns NULL";
  } else if (kind == "pool") {
    fault = FaultKind::Pool;
    summary = "the next ExAllocatePoolWithTag returns NULL";
    if (s.driver().ours) {
      summary += " (pending: " + s.driver().name +
                 " allocates only in AddDevice, which has run: `pnp disable` then `pnp enable` reaches it; state "
                 "shows the fault pending)";
    }
  } else if (kind == "porequest") {
    fault = FaultKind::PowerRequest;
    int32_t given = status.value_or(static_cast<int32_t>(0xC000009A));
    summary = "the next PoRequestPowerIrp returns " + s.backend().statusName(given) + " (" +
              hex32(static_cast<uint32_t>(given)) + ")";
  } else {
    a.bad("expected map, pool or porequest, not " + inQuotes(a.text(0)));
  }
  if (status && fault != FaultKind::PowerRequest) {
    a.bad(kind + " takes no status: the call fails by returning NULL");
  }
  s.backend().fault(fault, status);
  s.faultSet(fault, "pdctl's fault " + kind + ": " + summary.substr(0, summary.find(" (pending")));
  Result result = s.localResult("fault", summary);
  result.fields = {{"fault", kind}};
  if (fault == FaultKind::PowerRequest) {
    result.fields.emplace_back("fault_status",
                               hex32(static_cast<uint32_t>(status.value_or(static_cast<int32_t>(0xC000009A)))));
  }
  s.report(std::move(result));
}

void cmdState(Session& s, Args& a) {
  a.count(0, 0);
  DeviceView view = s.backend().view();
  std::vector<int> handles = s.openHandles();
  Result result = s.localResult("state", "");
  Json::Array handleArray;
  std::string handleText;
  for (int h : handles) {
    handleArray.emplace_back(h);
    handleText += (handleText.empty() ? "" : ", ") + std::to_string(h);
  }
  // The driver's own device, whatever --device names for open.
  const DriverChoice& choice = s.driver();
  std::string device = choice.driverDevice.empty() ? s.backend().devicePath("") : "\\\\.\\" + choice.driverDevice;
  result.summary = "driver " + view.driver + (view.loaded ? " loaded" : " unloaded") +
                   (view.hasDevice ? ", device " + device : ", no device") +
                   (view.pnpState.empty() ? "" : " (" + view.pnpState + ")");
  if (!choice.driverDevice.empty() && choice.deviceName != choice.driverDevice) {
    result.lines.push_back("open opens " + s.backend().devicePath("") + " (--device), not the driver's device");
  }
  result.fields = {{"driver", view.driver}, {"loaded", view.loaded}, {"device", view.hasDevice}};
  if (!view.pnpState.empty()) result.fields.emplace_back("pnp_state", view.pnpState);
  if (view.records) {
    result.fields.emplace_back("system_power_state", view.systemPowerState);
    result.fields.emplace_back("device_power_state", view.devicePowerState);
    result.fields.emplace_back("remove_lock_count", view.removeLockCount);
    result.lines.push_back("power: system " + std::to_string(view.systemPowerState) + " " +
                           systemStateText(view.systemPowerState) + ", device " +
                           std::to_string(view.devicePowerState) + " " + deviceStateText(view.devicePowerState) +
                           " (as the driver recorded them)");
    result.lines.push_back("remove lock: count " + std::to_string(view.removeLockCount) +
                           " (1 held by the device until it is removed, plus 1 per open handle and per request in "
                           "progress)");
  } else {
    result.fields.emplace_back("system_power_state", nullptr);
    result.fields.emplace_back("device_power_state", nullptr);
    result.fields.emplace_back("remove_lock_count", nullptr);
    if (view.hasDevice) result.lines.push_back("power and remove lock: not known for this driver (not one of ours)");
  }
  if (view.announcedDeviceState) {
    result.fields.emplace_back("announced_device_power_state", *view.announcedDeviceState);
    result.lines.push_back("last PoSetPowerState: device " + std::to_string(*view.announcedDeviceState) + " " +
                           deviceStateText(*view.announcedDeviceState));
  } else {
    result.fields.emplace_back("announced_device_power_state", nullptr);
  }
  result.fields.emplace_back("handles", std::move(handleArray));
  result.lines.push_back("open handles: " + (handleText.empty() ? std::string("none") : handleText));
  Json::Array faults;
  std::string faultText;
  for (const auto& fault : view.pendingFaults) {
    faults.emplace_back(fault);
    faultText += (faultText.empty() ? "" : ", ") + fault;
  }
  if (!faultText.empty()) result.lines.push_back("pending faults: " + faultText);
  std::optional<DecodedTable> table;
  if (view.table) table = decodeTable(*view.table);
  if (table) {
    result.fields.emplace_back("table", tableJson(*table));
    result.lines.push_back("capability table: " + tableSummary(*table));
  } else {
    result.fields.emplace_back("table", nullptr);
  }
  result.fields.emplace_back("pending_faults", std::move(faults));
  s.report(std::move(result));
}

void cmdUnload(Session& s, Args& a) {
  a.count(0, 0);
  if (s.backend().unloaded()) throw CommandError("unload: the driver is already unloaded");
  auto open = s.openHandles();
  if (!open.empty()) {
    throw CommandError("unload: handle " + std::to_string(open.front()) +
                       " is still open: close every handle first (Windows does not unload a driver whose device "
                       "has open handles)");
  }
  Outcome outcome = s.backend().unload();
  s.report(s.requestResult("unload", outcome));
}

void cmdHelp(Session& s, Args& a) {
  a.count(0, 1);
  std::string text = helpText(a.size() == 1 ? a.text(0) : std::string_view{});
  Result result = s.localResult("help", a.size() == 1 ? a.text(0) : std::string("commands"));
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    result.lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  result.fields = {{"text", text}};
  s.report(std::move(result));
}

// Waits for the oldest request sent with --async (of handle H when given) and shows its result.
void cmdWait(Session& s, Args& a) {
  a.count(0, 1);
  std::optional<uint32_t> number;
  if (a.size() == 1) number = a.number(0, "the handle");
  auto& pending = s.pending();
  auto it = std::find_if(pending.begin(), pending.end(), [&](const PendingRequest& request) {
    return !number || static_cast<uint32_t>(request.handle) == *number;
  });
  if (it == pending.end()) {
    a.bad(number ? "handle " + std::to_string(*number) + " has no request sent with --async"
                 : std::string("no request sent with --async is pending"));
  }
  PendingRequest request = std::move(*it);
  pending.erase(it);
  Outcome outcome = request.outcome();
  Result result = s.requestResult(request.cmd, outcome);
  addHandleField(result, request.handle);
  result.fields.emplace_back("length", request.length);
  if (request.cmd == "read" && !failed(outcome.status)) {
    result.data = received(*request.buffer, outcome.bytes);
    result.lines = dumpLines(result.data);
  }
  s.report(std::move(result));
}

// CancelIoEx for the oldest pending request of handle H; `wait` then shows how it ended.
void cmdCancel(Session& s, Args& a) {
  a.count(0, 1);
  auto number = a.handle(0);
  auto [handleNumber, token] = s.handle(number);
  bool cancelled = s.backend().cancel(token);
  Result result = s.localResult("cancel", "");
  addHandleField(result, handleNumber);
  result.summary = cancelled ? "the oldest pending request of handle " + std::to_string(handleNumber) + " was cancelled"
                             : "handle " + std::to_string(handleNumber) + " had nothing pending to cancel";
  result.fields.emplace_back("cancelled", cancelled);
  s.report(std::move(result));
}

void cmdQuit(Session&, Args& a) { a.count(0, 0); }

struct CommandSpec {
  std::string_view name;
  std::string_view usage;
  std::string_view explanation;
  void (*run)(Session&, Args&);
};

constexpr CommandSpec kCommands[] = {
    {"open", "open [PATH]",
     "Opens \\\\.\\DEVICE followed by PATH (as given, e.g. \\more) and prints the handle number (1, 2, ...).", cmdOpen},
    {"close", "close [H]", "Closes handle H (default: the most recently opened).", cmdClose},
    {"write", "write [H] TEXT | hex:HEX | fill:BYTE:N",
     "Writes TEXT (the rest of the command; use \"quotes\" for escapes such as \\r\\n), the bytes HEX, or N\n"
     "copies of BYTE. A leading number is the handle H only when exactly one word follows it (write 2 hi,\n"
     "write 2 \"two words\"); otherwise it is part of TEXT (write 42 is the answer).",
     cmdWrite},
    {"read", "read [H] N",
     "Reads N bytes; shows them in hex and as printable text. With --async (read --async\n"
     "[H] N, also write --async ...) it returns at once and wait shows the result.",
     cmdRead},
    {"describe", "describe [H] [OUTLEN]",
     "IOCTL_GET_DESCRIPTION (0x222000) with an output buffer of OUTLEN bytes (default 1024); prints the text.",
     cmdDescribe},
    {"table", "table [H] [OUTLEN]",
     "IOCTL_GET_CAPABILITY_TABLE (0x222004) with an output buffer of OUTLEN bytes (default 64); prints the\n"
     "decoded table.",
     cmdTable},
    {"ioctl", "ioctl [H] CODE [INLEN [OUTLEN]]",
     "Sends any control code with INLEN input bytes (counting up from 0) and OUTLEN output bytes (default 0).",
     cmdIoctl},
    {"pnp", "pnp disable|enable|surprise|rebalance|uninstall | pnp start|stop|remove|caps|MINOR",
     "The PnP manager's sequences as Windows sends them: disable (query-remove, remove; vetoed while a\n"
     "handle is open), enable (AddDevice again, start and the queries after it), surprise (surprise\n"
     "removal; the removal follows the last close), rebalance (query-stop, stop, start), uninstall\n"
     "(removal, then DriverUnload). Or one PnP request to the device's stack: start, stop, remove, caps,\n"
     "query-remove, cancel-remove, query-stop, cancel-stop, relations, surprise-removal, ...; or any\n"
     "minor code as a number.",
     cmdPnp},
    {"power", "power system query|set S [ACTION] | power device query|set D [ACTION] | power wait-wake|sequence|MINOR",
     "A power IRP. S: 0..6, or S0..S5, hibernate, shutdown. D: D0..D3, or 0..4. ACTION: 0..7 or none, sleep,\n"
     "hibernate, shutdown, shutdown-reset, shutdown-off (a system IRP's default follows S).",
     cmdPower},
    {"sleep", "sleep S", "A whole system transition to S: the query, then the set, as the power manager sends them.",
     cmdSleep},
    {"wake", "wake", "Back to the working state: the set-power IRP for S0 that ends a sleep.", cmdWake},
    {"bus", "bus caps KEY=VALUE... | bus fail caps|power STATUS | bus fail off | bus pend on|off",
     "Scripts the bus below the device. caps keys: D1, D2, WakeFromD0..WakeFromD3, SystemWake, DeviceWake,\n"
     "DeviceState=a:b:c:d:e:f:g, the other DEVICE_CAPABILITIES flags by name, Address, UINumber,\n"
     "D1Latency..D3Latency; `bus caps default` restores the root bus's usual report. fail: the bus fails\n"
     "those requests with STATUS from now on. pend on: it completes requests later from another thread.\n"
     "A failure scripted here can lead the driver into a verifier report (exit status 2): the report names it\n"
     "as its cause, to tell it from a fault of the driver's own.",
     cmdBus},
    {"fault", "fault map|pool|porequest [STATUS]",
     "The next MmMapLockedPagesSpecifyCache, ExAllocatePoolWithTag or PoRequestPowerIrp fails\n"
     "(porequest returns STATUS, default STATUS_INSUFFICIENT_RESOURCES). The fault waits for that call: state\n"
     "shows it pending (this project's drivers allocate pool only in AddDevice: `pnp enable` after `pnp disable`\n"
     "reaches it). A verifier\n"
     "report that follows names the fault as its cause (exit status 2 all the same).",
     cmdFault},
    {"state", "state", "The device's recorded power states, remove-lock count, open handles and capability table.",
     cmdState},
    {"unload", "unload",
     "Uninstalls as Windows does: the device is removed first (query-remove, remove), then DriverUnload;\n"
     "every handle must be closed first.",
     cmdUnload},
    {"help", "help [COMMAND]", "This list, or one command's explanation.", cmdHelp},
    {"quit", "quit", "Ends the prompt or the script.", cmdQuit},
    {"wait", "wait [H]", "Waits for the oldest read or write sent with --async (of handle H) and shows its result.",
     cmdWait},
    {"cancel", "cancel [H]",
     "Cancels the oldest pending request of handle H (CancelIoEx); wait then shows how it ended.", cmdCancel},
};

const CommandSpec* find(std::string_view name) {
  std::string wanted = lower(name);
  if (wanted == "exit") wanted = "quit";
  for (const auto& spec : kCommands) {
    if (spec.name == wanted) return &spec;
  }
  return nullptr;
}

std::string commandNames() {
  std::string names;
  for (const auto& spec : kCommands) names += (names.empty() ? "" : ", ") + std::string(spec.name);
  return names;
}

}  // namespace

void runCommand(Session& session, const Command& command) {
  const CommandSpec* spec = find(command.words.front().text);
  if (spec == nullptr || command.words.front().quoted) {
    throw CommandError(printable(command.words.front().text) + ": unknown command: expected one of " + commandNames());
  }
  Args args(spec->name, spec->usage, command.words);
  try {
    spec->run(session, args);
  } catch (const CommandError& error) {
    // Every error of a command starts with the command's name.
    std::string message = error.what();
    std::string name(spec->name);
    if (message.starts_with(name + ":") || message.starts_with(name + " ")) throw;
    throw CommandError(name + ": " + message);
  }
}

std::vector<std::string_view> commandList() {
  std::vector<std::string_view> names;
  for (const auto& spec : kCommands) names.push_back(spec.name);
  return names;
}

bool isQuit(const Command& command) {
  const CommandSpec* spec = find(command.words.front().text);
  return spec != nullptr && spec->name == "quit";
}

std::string helpText(std::string_view command) {
  if (!command.empty()) {
    const CommandSpec* spec = find(command);
    if (spec == nullptr) {
      throw CommandError("help: unknown command " + inQuotes(std::string(command)) + ": expected one of " +
                         commandNames());
    }
    return std::string(spec->usage) + "\n" + std::string(spec->explanation) + "\n";
  }
  std::string text =
      "Commands (one per line, or separated by ;). H is a handle number from open; when given it comes first\n"
      "and all the command's other arguments follow it. Numbers: decimal or 0x-hex, passed through as given.\n";
  for (const auto& spec : kCommands) text += "  " + std::string(spec.usage) + "\n";
  text +=
      "help COMMAND explains one command. In scripts and at the prompt # starts a comment that runs to the end\n"
      "of the line. Everything else: docs/PDCTL.md.\n";
  return text;
}

}  // namespace pdctl
