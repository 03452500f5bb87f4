#include "pdctl_run.h"

#include <poll.h>
#include <pty.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace pdkit::test {
namespace {

constexpr std::chrono::seconds kRunLimit{60};

struct Pipe {
  int fd[2] = {-1, -1};
  Pipe() {
    if (pipe(fd) != 0) throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
  }
  ~Pipe() {
    closeEnd(0);
    closeEnd(1);
  }
  void closeEnd(int end) {
    if (fd[end] >= 0) close(fd[end]);
    fd[end] = -1;
  }
};

}  // namespace

std::string modulePath(const std::string& name) { return std::string(PDKIT_DRIVER_DIR) + "/" + name + ".so"; }

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

PdctlRun runPdctl(const std::vector<std::string>& arguments, const std::string& input,
                  const std::vector<std::string>& environment) {
  std::signal(SIGPIPE, SIG_IGN);
  Pipe in, out, err;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in.fd[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out.fd[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err.fd[1], 2);
  for (Pipe* p : {&in, &out, &err}) {
    posix_spawn_file_actions_addclose(&actions, p->fd[0]);
    posix_spawn_file_actions_addclose(&actions, p->fd[1]);
  }
  std::vector<std::string> argv{PDCTL_BINARY};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::vector<char*> raw;
  for (auto& arg : argv) raw.push_back(arg.data());
  raw.push_back(nullptr);
  std::vector<std::string> settings(environment.begin(), environment.end());
  for (char** e = environ; *e != nullptr; ++e) settings.emplace_back(*e);
  std::vector<char*> env;
  for (auto& setting : settings) env.push_back(setting.data());
  env.push_back(nullptr);
  pid_t pid;
  int spawned = posix_spawn(&pid, PDCTL_BINARY, &actions, nullptr, raw.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) throw std::runtime_error(std::string("cannot run " PDCTL_BINARY ": ") + std::strerror(spawned));
  in.closeEnd(0);
  out.closeEnd(1);
  err.closeEnd(1);

  PdctlRun run;
  size_t written = 0;
  if (input.empty()) in.closeEnd(1);
  // A run that hangs fails its test instead of holding up the whole suite.
  auto deadline = std::chrono::steady_clock::now() + kRunLimit;
  while (out.fd[0] >= 0 || err.fd[0] >= 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      run.err += "[pdctl did not finish within " + std::to_string(kRunLimit.count()) + " s and was killed]";
      break;
    }
    pollfd fds[3];
    nfds_t count = 0;
    for (int fd : {out.fd[0], err.fd[0]}) {
      if (fd >= 0) fds[count++] = {fd, POLLIN, 0};
    }
    if (in.fd[1] >= 0) fds[count++] = {in.fd[1], POLLOUT, 0};
    if (poll(fds, count, 1000) < 0 && errno != EINTR) break;
    for (nfds_t i = 0; i < count; ++i) {
      if (fds[i].revents == 0) continue;
      if (fds[i].fd == in.fd[1]) {
        ssize_t n = write(in.fd[1], input.data() + written, input.size() - written);
        if (n > 0) written += static_cast<size_t>(n);
        if (n < 0 || written == input.size()) in.closeEnd(1);
        continue;
      }
      char buffer[65536];
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      bool isOut = fds[i].fd == out.fd[0];
      if (n <= 0) {
        (isOut ? out : err).closeEnd(0);
      } else {
        (isOut ? run.out : run.err).append(buffer, static_cast<size_t>(n));
      }
    }
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
  run.exit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return run;
}

PdctlRun runPdctlOnTerminal(const std::vector<std::string>& arguments, const std::string& input) {
  std::vector<std::string> argv{PDCTL_BINARY};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::vector<char*> raw;
  for (auto& arg : argv) raw.push_back(arg.data());
  raw.push_back(nullptr);
  int terminal = -1;
  pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
  if (pid < 0 && (errno == ENODEV || errno == ENOENT)) {
    PdctlRun none;
    none.unavailable = std::string("no pseudo terminal here (forkpty: ") + std::strerror(errno) + ")";
    return none;
  }
  if (pid < 0) throw std::runtime_error(std::string("forkpty: ") + std::strerror(errno));
  if (pid == 0) {
    // A terminal without colour, and a home of its own for the prompt's history file.
    setenv("TERM", "dumb", 1);
    setenv("NO_COLOR", "1", 1);
    setenv("HOME", "/tmp", 1);
    execv(PDCTL_BINARY, raw.data());
    _exit(127);
  }
  PdctlRun run;
  size_t written = 0;
  while (true) {
    pollfd fd{terminal, static_cast<short>(POLLIN | (written < input.size() ? POLLOUT : 0)), 0};
    if (poll(&fd, 1, static_cast<int>(kRunLimit.count()) * 1000) <= 0) {
      kill(pid, SIGKILL);
      run.out += "[pdctl did not finish and was killed]";
      break;
    }
    if (fd.revents & POLLIN) {
      char buffer[4096];
      ssize_t n = read(terminal, buffer, sizeof buffer);
      if (n <= 0) break;  // the program ended: the terminal hangs up
      run.out.append(buffer, static_cast<size_t>(n));
    } else if (fd.revents & POLLOUT) {
      ssize_t n = write(terminal, input.data() + written, input.size() - written);
      if (n > 0) written += static_cast<size_t>(n);
    } else if (fd.revents & (POLLHUP | POLLERR)) {
      break;
    }
  }
  close(terminal);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
  run.exit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return run;
}

}  // namespace pdkit::test
