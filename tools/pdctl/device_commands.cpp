// The device commands (device_commands.h): each sends its request through
// the backend and reports the outcome with the handle, the lengths and what
// came back.
#include "device_commands.h"

#include "capability_table.h"
#include "io_buffer.h"
#include "numbers.h"
#include "output_format.h"
#include "session.h"
#include "statuses.h"

#include "sharefiles/pdioctl.h"
#include "text/utf16.h"

#include <algorithm>
#include <optional>

namespace pdctl {
namespace {

// Not NT_SUCCESS (a warning or an error): the request brought nothing back.
bool failed(int32_t status) { return status < 0; }

void addHandleField(Result& result, int number) {
  result.fields.emplace_back("handle", number);
  result.summary = ", handle " + std::to_string(number);
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

// The first `bytes` bytes of a buffer that came back (never more than the buffer).
std::vector<uint8_t> received(const IoBuffer& buffer, uint64_t bytes) {
  size_t count = static_cast<size_t>(std::min<uint64_t>(bytes, buffer.size()));
  return std::vector<uint8_t>(buffer.data(), buffer.data() + count);
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

}  // namespace

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
    if (outcome.status == kStatusObjectNameNotFound) {
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

void cmdDescribe(Session& s, Args& a) {
  a.count(0, 2);
  auto number = a.handle(1);
  uint32_t outLength = a.size() == 1 ? a.length(0, "the output length") : 1024;
  Result result = control(s, "describe", number, IOCTL_GET_DESCRIPTION, outLength);
  std::string text = pdkit::text::utf8FromUtf16Le(result.data);
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

}  // namespace pdctl
