#include "run_command.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace pdkit::images {

namespace {

// Closes a file descriptor when it goes out of scope.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }
  int get() const { return fd_; }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

}  // namespace

CommandResult run_command(const std::vector<std::string>& argv) {
  CommandResult result;
  if (argv.empty()) return result;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    result.output = std::string("pipe: ") + std::strerror(errno);
    return result;
  }
  Fd read_end(fds[0]);
  Fd write_end(fds[1]);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  const pid_t pid = ::fork();
  if (pid < 0) {
    result.output = std::string("fork: ") + std::strerror(errno);
    return result;
  }
  if (pid == 0) {
    ::dup2(write_end.get(), STDOUT_FILENO);
    ::dup2(write_end.get(), STDERR_FILENO);
    ::execvp(args[0], args.data());
    const std::string message = std::string("cannot run ") + args[0] + ": " + std::strerror(errno) + "\n";
    (void)!::write(STDERR_FILENO, message.data(), message.size());
    ::_exit(127);
  }
  write_end.reset();
  std::array<char, 4096> buffer;
  for (;;) {
    const ssize_t got = ::read(read_end.get(), buffer.data(), buffer.size());
    if (got > 0) {
      result.output.append(buffer.data(), static_cast<std::size_t>(got));
    } else if (got == 0 || errno != EINTR) {
      break;
    }
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
  result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

}  // namespace pdkit::images
