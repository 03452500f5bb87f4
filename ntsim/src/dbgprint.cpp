// DbgPrint: every call reaches the debugger's record, in call order. A call
// whose arguments are plain values (the common "%d" line) is recorded as its
// format and those values and formatted when the output is read; one that
// passes strings, or that the live echo must see, is formatted at once.
#include "kdformat.h"
#include "state.h"

#include <cstdarg>

namespace ntsim {

std::vector<DebugRecord> Machine::debugOutput() const { return state_->kd.records(); }

std::string Machine::debugStream() const { return state_->kd.stream(); }

void Machine::clearDebugOutput() { state_->kd.clear(); }

void Machine::setDebugCapture(bool capture) { state_->kdCapture.store(capture); }

void Machine::setDebugEcho(std::function<void(const std::string&)> echo) {
  std::lock_guard lock(state_->kdEchoMutex);
  state_->kdHasEcho.store(static_cast<bool>(echo));
  state_->kdEcho = std::move(echo);
}

namespace {

constexpr unsigned kCapturedSlots = 16;
constexpr size_t kRecentTexts = 8;

void echoText(MachineState& s, const std::string& text) {
  std::function<void(const std::string&)> echo;
  {
    std::lock_guard lock(s.kdEchoMutex);
    echo = s.kdEcho;
    s.kdRecent.push_back(text);
    if (s.kdRecent.size() > kRecentTexts) s.kdRecent.pop_front();
  }
  if (echo) echo(text);
}

}  // namespace
}  // namespace ntsim

extern "C" ULONG DbgPrint(PCSTR Format, ...) {
  auto& s = ntsim::M();
  const bool capture = s.kdCapture.load(std::memory_order_relaxed);
  const bool echo = s.kdHasEcho.load(std::memory_order_relaxed);
  if (!capture && !echo) return STATUS_SUCCESS;
  va_list args;
  va_start(args, Format);
  if (capture && !echo && Format != nullptr) {
    uint64_t slots[ntsim::kCapturedSlots];
    va_list values;
    va_copy(values, args);
    int count = ntsim::captureArguments(Format, values, slots, ntsim::kCapturedSlots);
    va_end(values);
    if (count >= 0) {
      va_end(args);
      s.kd.addDeferred(Format, slots, static_cast<unsigned>(count));
      return STATUS_SUCCESS;
    }
  }
  std::string text;
  {
    ntsim::VaListArguments values(args);
    text = ntsim::formatKernel(Format, values);
  }
  va_end(args);
  if (capture) s.kd.addText(text);
  if (echo) ntsim::echoText(s, text);
  return STATUS_SUCCESS;
}
