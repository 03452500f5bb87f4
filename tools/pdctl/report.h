// What pdctl shows: the events of a session, in the order they happen, and
// the two ways of showing them (a readable transcript, or JSON Lines).
#pragma once

#include "json.h"

#include <cstdint>
#include <string>
#include <vector>

namespace pdctl {

// The outcome of one request as a program sees it.
struct Outcome {
  int32_t status = 0;      // the NTSTATUS the request ended with
  std::string statusName;  // STATUS_SUCCESS, or the value in hex when it has no name
  uint32_t win32 = 0;      // what GetLastError would return (0 on success)
  uint64_t bytes = 0;      // bytes transferred (IoStatus.Information)
};

// The result of one command.
struct Result {
  std::string cmd;                 // the command's name: "read", "power", "boot", ...
  bool request = true;             // a request reached the device: show its status
  Outcome outcome;                 // for a command without request: STATUS_SUCCESS, 0, 0
  std::vector<uint8_t> data;       // bytes that came back (data_hex)
  Json::Object fields;             // what else the command reports, for --json
  std::string label;               // text: what the status line is about ("read", "boot load", ...)
  std::string summary;             // text: after the status (", handle 1"), or the whole line without request
  std::vector<std::string> lines;  // text: details, shown indented below
};

class Sink {
 public:
  virtual ~Sink() = default;
  // A command is about to run (its text, as written).
  virtual void command(const std::string& text) = 0;
  // One DbgPrint call's text, exactly.
  virtual void kd(const std::string& text) = 0;
  // `cause`: what pdctl itself scripted that led to it (a failure it injected), or "".
  virtual void verifier(const std::string& rule, const std::string& detail, const std::string& cause) = 0;
  virtual void result(const Result& result) = 0;
  // A command that could not run: one line saying what was wrong.
  virtual void error(const std::string& message) = 0;
  // Explanations for a person (the demo's annotations, notes); not part of --json.
  virtual void note(const std::string& text) = 0;
  virtual void heading(const std::string& text) = 0;
};

}  // namespace pdctl
