// --json: JSON Lines, one object per event, in the order things happen:
//   {"kd":"..."}                        each DbgPrint call's exact text
//   {"verifier":"RULE","detail":"...","cause":"..."}  each verifier violation (cause: what pdctl scripted, if anything)
//   {"cmd":"read","status":"0x00000000","status_name":"STATUS_SUCCESS","win32":0,"bytes":2,"data_hex":"6869",...}
//   {"error":"..."}                     a command that could not run (also on standard error, unless `err` is null)
#pragma once

#include "report.h"

#include <cstdio>

namespace pdctl {

class JsonLines final : public Sink {
 public:
  JsonLines(std::FILE* out, std::FILE* err, bool quietKd);

  void command(const std::string& text) override;
  void kd(const std::string& text) override;
  void verifier(const std::string& rule, const std::string& detail, const std::string& cause) override;
  void result(const Result& result) override;
  void error(const std::string& message) override;
  void note(const std::string& text) override;
  void heading(const std::string& text) override;

 private:
  void emit(const Json& object);

  std::FILE* out_;
  std::FILE* err_;
  bool quietKd_;
};

}  // namespace pdctl
