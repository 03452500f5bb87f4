#include "json_output.h"

#include "numbers.h"

namespace pdctl {

JsonLines::JsonLines(std::FILE* out, std::FILE* err, bool quietKd) : out_(out), err_(err), quietKd_(quietKd) {}

void JsonLines::emit(const Json& object) {
  std::string line = object.dump() + "\n";
  std::fwrite(line.data(), 1, line.size(), out_);
  std::fflush(out_);
}

void JsonLines::command(const std::string&) {}

void JsonLines::kd(const std::string& text) {
  if (!quietKd_) emit(Json::Object{{"kd", text}});
}

void JsonLines::verifier(const std::string& rule, const std::string& detail, const std::string& cause) {
  Json::Object object{{"verifier", rule}, {"detail", detail}};
  if (!cause.empty()) object.emplace_back("cause", cause);
  emit(object);
}

void JsonLines::result(const Result& result) {
  Json::Object object{
      {"cmd", result.cmd},
      {"status", hex32(static_cast<uint32_t>(result.outcome.status))},
      {"status_name", result.outcome.statusName},
      {"win32", result.outcome.win32},
      {"bytes", result.outcome.bytes},
      {"data_hex", hexString(result.data.data(), result.data.size())},
  };
  for (const auto& field : result.fields) object.push_back(field);
  emit(object);
}

void JsonLines::error(const std::string& message) {
  std::string shown = printable(message, kMaxMessage);
  emit(Json::Object{{"error", shown}});
  if (err_ == nullptr) return;
  std::fputs(("pdctl: " + shown + "\n").c_str(), err_);
  std::fflush(err_);
}

void JsonLines::note(const std::string&) {}
void JsonLines::heading(const std::string&) {}

}  // namespace pdctl
