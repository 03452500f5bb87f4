#include "session.h"

#include "commands.h"
#include "errors.h"
#include "exit_status.h"
#include "numbers.h"

namespace pdctl {

Session::Session(const DriverChoice& choice, Backend& backend, Sink& sink, bool bare)
    : choice_(choice), backend_(backend), sink_(sink), bare_(bare) {
  backend_.setEvents(this);
}

Session::~Session() {
  finish();
  backend_.setEvents(nullptr);
}

void Session::onKd(const std::string& text) { sink_.kd(text); }

void Session::onViolation(const std::string& rule, const std::string& detail) {
  ++violations_;
  std::string cause;
  for (const auto& [key, text] : scripted_) cause += (cause.empty() ? "" : "; ") + text;
  for (const auto& [kind, text] : faults_) {
    if (!backend_.faultPending(kind)) cause += (cause.empty() ? "" : "; ") + text;  // it has fired
  }
  sink_.verifier(rule, detail, cause);
}

void Session::faultSet(FaultKind kind, const std::string& text) {
  std::erase_if(faults_, [&](const auto& entry) { return entry.first == kind; });
  faults_.emplace_back(kind, text);
}

void Session::scripted(const std::string& key, const std::string& text) {
  std::erase_if(scripted_, [&](const auto& entry) { return entry.first == key; });
  if (!text.empty()) scripted_.emplace_back(key, text);
}

void Session::boot() {
  if (!backend_.boots()) return;
  Outcome loaded = backend_.load();
  Result load = requestResult("boot", loaded);
  load.label = "boot load " + choice_.name;
  load.fields = {{"step", "load"}, {"driver", choice_.name}, {"module", backend_.modulePath()}};
  report(std::move(load));

  Outcome added = backend_.addDevice();
  Result add = requestResult("boot", added);
  add.label = "boot AddDevice";
  add.fields = {{"step", "add-device"}};
  report(std::move(add));
  if (bare_) return;

  for (uint8_t minor : {uint8_t{0x00}, uint8_t{0x09}}) {  // IRP_MN_START_DEVICE, IRP_MN_QUERY_CAPABILITIES
    Outcome outcome = backend_.pnp(minor);
    Result step = requestResult("boot", outcome);
    std::string name(nameOf(minor, pnpMinors()));
    step.label = "boot " + name;
    step.fields = {{"step", minor == 0 ? "start" : "caps"}, {"minor", name}};
    report(std::move(step));
  }
}

void Session::run(const Command& command) {
  sink_.command(command.text);
  try {
    runCommand(*this, command);
    // A fault that fired in this command has said what it caused.
    std::erase_if(faults_, [&](const auto& entry) { return !backend_.faultPending(entry.first); });
  } catch (const CommandError& error) {
    std::string where = command.where.empty() ? "" : command.where + ": ";
    throw CommandError(where + error.what());
  }
}

Session::Step Session::runEach(const std::vector<Command>& commands) {
  for (const auto& command : commands) {
    if (isQuit(command)) return Step::Quit;
    try {
      run(command);
    } catch (const CommandError& error) {
      fail(error.what());
      return Step::Failed;
    }
  }
  return Step::Ran;
}

bool Session::runAll(const std::vector<Command>& commands) { return runEach(commands) != Step::Failed; }

bool Session::runScript(ScriptReader& reader) {
  while (true) {
    std::optional<std::vector<Command>> line;
    try {
      line = reader.next();
    } catch (const CommandError& error) {
      fail(error.what());
      return false;
    }
    if (!line) return true;
    Step step = runEach(*line);
    if (step != Step::Ran) return step == Step::Quit;
  }
}

void Session::fail(const std::string& message) {
  ++errors_;
  sink_.error(message);
}

void Session::finish() {
  if (finished_) return;
  finished_ = true;
  faults_.clear();  // those left have not fired: they cause nothing the shutdown reports
  std::vector<Token> open;
  for (const auto& [number, token] : handles_) open.push_back(token);
  handles_.clear();
  backend_.shutdown(open);
  // Closing ended what was still pending: each is waited for, its outcome unshown.
  for (auto& request : pending_) request.outcome();
  pending_.clear();
}

int Session::exitStatus() const {
  // A violation outranks an error: a script looking for 2 must not miss one that a later mistake followed.
  if (violations_ != 0) return kExitVerifierReport;
  if (errors_ != 0) return kExitCommandFailed;
  return kExitSuccess;
}

void Session::report(Result result) {
  backend_.settle();
  if (result.request && result.outcome.win32 != 0) {
    if (std::string advice = backend_.advice(result.cmd, result.outcome); !advice.empty()) {
      result.lines.push_back(advice);
    }
  }
  sink_.result(result);
}

Result Session::requestResult(const std::string& cmd, const Outcome& outcome) const {
  Result result;
  result.cmd = cmd;
  result.label = cmd;
  result.outcome = outcome;
  return result;
}

Result Session::localResult(const std::string& cmd, const std::string& summary) const {
  Result result;
  result.cmd = cmd;
  result.label = cmd;
  result.request = false;
  result.outcome.statusName = backend_.statusName(0);
  result.summary = summary;
  return result;
}

void Session::openFailed(const std::string& why) { failedOpen_ = why; }

int Session::addHandle(Token token) {
  failedOpen_.clear();
  int number = nextHandle_++;
  handles_.emplace_back(number, token);
  return number;
}

std::pair<int, Token> Session::handle(std::optional<uint32_t> number) const {
  if (handles_.empty()) {
    std::string why = failedOpen_.empty() ? "use open first" : "the last open failed (" + failedOpen_ + ")";
    throw CommandError(number ? "handle " + std::to_string(*number) + " is not open: no handle is open; " + why
                              : "no handle is open: " + why);
  }
  if (!number) return handles_.back();
  for (const auto& entry : handles_) {
    if (static_cast<uint32_t>(entry.first) == *number) return entry;
  }
  std::string open;
  for (const auto& entry : handles_) open += (open.empty() ? "" : ", ") + std::to_string(entry.first);
  throw CommandError("handle " + std::to_string(*number) + " is not open: expected one of the open handles (" + open +
                     ")");
}

void Session::dropHandle(int number) {
  std::erase_if(handles_, [number](const auto& entry) { return entry.first == number; });
}

std::vector<int> Session::openHandles() const {
  std::vector<int> numbers;
  for (const auto& entry : handles_) numbers.push_back(entry.first);
  return numbers;
}

}  // namespace pdctl
