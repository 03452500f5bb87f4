// The readable transcript: each command as typed, the kernel debugger's
// output as a debugger shows it (every line prefixed "kd> "; a call that
// continues a line the previous call left open begins with a mark), the result of
// each request (status, Win32 error, byte count) and verifier reports, in
// the order they happen.
#pragma once

#include "report.h"
#include "terminal.h"

#include <cstdio>

namespace pdctl {

struct TranscriptStyle {
  bool echoCommands = true;  // show "pdctl> COMMAND" before each command (not at the prompt, where it was typed)
  bool quietKd = false;
  bool colour = false;
  bool markRecords = true;  // mark where a DbgPrint call begins on a line the previous call left open
};

// The mark between two DbgPrint calls that a debugger shows on one line.
inline constexpr const char* kRecordMark = "\u00a6";

class Transcript final : public Sink {
 public:
  Transcript(std::FILE* out, std::FILE* err, TranscriptStyle style);
  ~Transcript() override;

  void command(const std::string& text) override;
  void kd(const std::string& text) override;
  void verifier(const std::string& rule, const std::string& detail, const std::string& cause) override;
  void result(const Result& result) override;
  void error(const std::string& message) override;
  void note(const std::string& text) override;
  void heading(const std::string& text) override;

 private:
  // Ends a debugger line that is still open before pdctl writes a line of its own.
  void breakKdLine();
  void write(const std::string& text);

  std::FILE* out_;
  std::FILE* err_;
  TranscriptStyle style_;
  Palette palette_;
  bool kdLineOpen_ = false;
};

// "STATUS_SUCCESS (0x00000000), win32 0, 5 bytes"
std::string describeOutcome(const Outcome& outcome);

}  // namespace pdctl
