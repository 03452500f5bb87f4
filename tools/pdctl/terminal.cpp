#include "terminal.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#include <ctime>
#endif

namespace pdctl {

bool stdoutIsTerminal() {
#ifdef _WIN32
  return _isatty(_fileno(stdout)) != 0;
#else
  return isatty(STDOUT_FILENO) != 0;
#endif
}

bool stdinIsTerminal() {
#ifdef _WIN32
  return _isatty(_fileno(stdin)) != 0;
#else
  return isatty(STDIN_FILENO) != 0;
#endif
}

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

bool colourWanted() {
  if (!stdoutIsTerminal() || !environment("NO_COLOR").empty() || environment("TERM") == "dumb") return false;
#ifdef _WIN32
  // Windows 10 consoles show ANSI colours once asked to.
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (!GetConsoleMode(out, &mode)) return false;
  return SetConsoleMode(out, mode | 0x0004 /* ENABLE_VIRTUAL_TERMINAL_PROCESSING */) != 0;
#else
  return true;
#endif
}

void pauseMilliseconds(unsigned milliseconds) {
  if (milliseconds == 0) return;
#ifdef _WIN32
  Sleep(milliseconds);
#else
  timespec delay{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&delay, &delay) != 0) {}
#endif
}

std::string programDirectory(const char* argv0) {
  namespace fs = std::filesystem;
  std::error_code error;
#ifndef _WIN32
  fs::path self = fs::read_symlink("/proc/self/exe", error);
  if (!error) return self.parent_path().string();
#endif
  fs::path given = fs::absolute(argv0 != nullptr ? argv0 : ".", error);
  return given.parent_path().string();
}

Palette Palette::make(bool colour) {
  Palette p;
  if (!colour) return p;
  p.reset = "\033[0m";
  p.dim = "\033[2m";
  p.bold = "\033[1m";
  p.red = "\033[31m";
  p.green = "\033[32m";
  p.yellow = "\033[33m";
  p.cyan = "\033[36m";
  p.magenta = "\033[35m";
  return p;
}

}  // namespace pdctl
