// One run of pdctl against one driver: the boot, the commands, the handles
// the program holds, and what the exit status will be.
#pragma once

#include "backend.h"
#include "io_buffer.h"
#include "options.h"
#include "report.h"
#include "script_parser.h"
#include "script_reader.h"

#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace pdctl {

// A read or write sent with --async, until `wait` shows its result.
struct PendingRequest {
  int handle = 0;
  std::string cmd;  // "read" or "write"
  uint32_t length = 0;
  std::unique_ptr<IoBuffer> buffer;
  Backend::Later outcome;  // waits for it
};

class Session final : public BackendEvents {
 public:
  Session(const DriverChoice& choice, Backend& backend, Sink& sink, bool bare);
  ~Session() override;
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Boots the driver on ntsim (nothing on Windows). Throws CommandError when
  // the driver cannot be loaded.
  void boot();
  // Runs one command; throws CommandError when it cannot run.
  void run(const Command& command);
  // Runs commands until one cannot run: reports it and returns false.
  bool runAll(const std::vector<Command>& commands);
  // Runs a script line by line as it is read, until a command cannot run (false) or it ends.
  bool runScript(ScriptReader& reader);
  // Reports a command that could not run (also counts it for the exit status).
  void fail(const std::string& message);
  // Closes what is left open, as Windows does when a program ends.
  void finish();

  // kExitSuccess, kExitCommandFailed or kExitVerifierReport (exit_status.h).
  int exitStatus() const;
  void forgiveErrors() { errors_ = 0; }

  // ---- for the commands
  Backend& backend() { return backend_; }
  Sink& sink() { return sink_; }
  const DriverChoice& driver() const { return choice_; }
  // Waits for what the request started, then shows the result.
  void report(Result result);
  // What pdctl scripts that can lead to a verifier report (a bus failure, a
  // fault), named in the reports while it lasts; "" ends it. Faults end once used.
  void scripted(const std::string& key, const std::string& text);
  // A fault set with `fault`: named in the reports that follow once it has fired, until the command ends.
  void faultSet(FaultKind kind, const std::string& text);
  // A result for a request, with the outcome filled in.
  Result requestResult(const std::string& cmd, const Outcome& outcome) const;
  // A result for a command that sent nothing.
  Result localResult(const std::string& cmd, const std::string& summary) const;

  int addHandle(Token token);
  // An open that failed: a command that needs a handle says why there is none.
  void openFailed(const std::string& why);
  // The handle numbered `number`, or the most recently opened one.
  std::pair<int, Token> handle(std::optional<uint32_t> number) const;
  void dropHandle(int number);
  std::vector<int> openHandles() const;
  std::deque<PendingRequest>& pending() { return pending_; }

  // BackendEvents
  void onKd(const std::string& text) override;
  void onViolation(const std::string& rule, const std::string& detail) override;

 private:
  enum class Step { Ran, Quit, Failed };
  Step runEach(const std::vector<Command>& commands);

  DriverChoice choice_;
  Backend& backend_;
  Sink& sink_;
  bool bare_;
  std::vector<std::pair<int, Token>> handles_;  // in the order they were opened
  int nextHandle_ = 1;
  std::vector<std::pair<std::string, std::string>> scripted_;  // key, text
  std::vector<std::pair<FaultKind, std::string>> faults_;
  std::string failedOpen_;  // why the last open failed, until one succeeds
  int errors_ = 0;
  int violations_ = 0;
  bool finished_ = false;
  std::deque<PendingRequest> pending_;  // oldest first
};

}  // namespace pdctl
