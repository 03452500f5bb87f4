#include "transcript.h"

#include "numbers.h"
#include "statuses.h"

namespace pdctl {
namespace {

// A byte of debugger text as the terminal should see it.
void appendVisible(std::string& out, unsigned char c) {
  if (c == '\t' || (c >= 0x20 && c != 0x7F)) {
    out.push_back(static_cast<char>(c));
    return;
  }
  static constexpr char kDigits[] = "0123456789abcdef";
  out += "\\x";
  out.push_back(kDigits[c >> 4]);
  out.push_back(kDigits[c & 15]);
}

}  // namespace

std::string describeOutcome(const Outcome& outcome) {
  std::string value = hex32(static_cast<uint32_t>(outcome.status));
  std::string text = (outcome.statusName == value ? value : outcome.statusName + " (" + value + ")") + ", win32 " +
                     std::to_string(outcome.win32);
  if (outcome.win32 != 0) {
    auto name = win32NameOf(outcome.win32);
    if (!name.empty()) text += " (" + std::string(name) + ")";
  }
  text += ", " + std::to_string(outcome.bytes) + (outcome.bytes == 1 ? " byte" : " bytes");
  return text;
}

Transcript::Transcript(std::FILE* out, std::FILE* err, TranscriptStyle style)
    : out_(out), err_(err), style_(style), palette_(Palette::make(style.colour)) {}

Transcript::~Transcript() {
  breakKdLine();
  std::fflush(out_);
}

void Transcript::write(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), out_);
  std::fflush(out_);
}

void Transcript::breakKdLine() {
  if (!kdLineOpen_) return;
  write(std::string(palette_.reset) + "\n");
  kdLineOpen_ = false;
}

void Transcript::command(const std::string& text) {
  if (!style_.echoCommands) return;
  breakKdLine();
  write(std::string(palette_.bold) + "pdctl> " + printable(text, 200) + palette_.reset + "\n");
}

void Transcript::kd(const std::string& text) {
  if (style_.quietKd) return;
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    if (!kdLineOpen_) {
      out += std::string(palette_.cyan) + "kd> " + palette_.reset + palette_.dim;
      kdLineOpen_ = true;
    } else if (i == 0 && style_.markRecords) {
      // The previous DbgPrint call had no line end: the debugger runs the two together; show where this one begins.
      out += std::string(palette_.reset) + palette_.cyan + kRecordMark + palette_.reset + palette_.dim;
    }
    if (c == '\n') {
      out += std::string(palette_.reset) + "\n";
      kdLineOpen_ = false;
    } else {
      appendVisible(out, c);
    }
  }
  write(out);
}

void Transcript::verifier(const std::string& rule, const std::string& detail, const std::string& cause) {
  breakKdLine();
  write(std::string(palette_.red) + palette_.bold + "!! verifier: " + rule + ": " + detail + palette_.reset + "\n");
  if (!cause.empty()) write(std::string(palette_.yellow) + "   cause: " + cause + palette_.reset + "\n");
}

void Transcript::result(const Result& result) {
  breakKdLine();
  std::string line = result.label + ": ";
  if (result.request) {
    const char* colour = result.outcome.status >= 0                                  ? palette_.green
                         : (static_cast<uint32_t>(result.outcome.status) >> 30) == 2 ? palette_.yellow
                                                                                     : palette_.red;
    line += std::string(colour) + describeOutcome(result.outcome) + palette_.reset + result.summary;
  } else {
    line += result.summary;
  }
  line += "\n";
  for (const auto& detail : result.lines) line += "  " + detail + "\n";
  write(line);
}

void Transcript::error(const std::string& message) {
  breakKdLine();
  std::fflush(out_);
  std::fputs(("pdctl: " + printable(message, kMaxMessage) + "\n").c_str(), err_);
  std::fflush(err_);
}

void Transcript::note(const std::string& text) {
  breakKdLine();
  write(std::string(palette_.yellow) + text + palette_.reset + "\n");
}

void Transcript::heading(const std::string& text) {
  breakKdLine();
  write("\n" + std::string(palette_.bold) + palette_.magenta + text + "\n" + std::string(text.size(), '=') +
        palette_.reset + "\n");
}

}  // namespace pdctl
