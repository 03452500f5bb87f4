// The Windows backend: talks to the installed device through the Win32 API
// (CreateFileW, ReadFile, WriteFile, DeviceIoControl, CloseHandle), as any
// program would. Everything the kernel's side does is the real kernel's
// business here, so the commands that play it on ntsim say they cannot run.
#include "backend.h"
#include "errors.h"
#include "options.h"
#include "statuses.h"

#include "text/utf16.h"

#include <windows.h>

#include <map>

namespace pdctl {
namespace {

using RtlGetLastNtStatusFn = LONG(NTAPI*)(void);

// ntdll's RtlGetLastNtStatus. Looked up once before the first request: the
// lookup itself may overwrite the thread's last status, so doing it lazily
// after a failed call would lose that call's status.
RtlGetLastNtStatusFn lastNtStatusRoutine() {
  static const RtlGetLastNtStatusFn get = [] {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    FARPROC proc = ntdll != nullptr ? GetProcAddress(ntdll, "RtlGetLastNtStatus") : nullptr;
    return reinterpret_cast<RtlGetLastNtStatusFn>(reinterpret_cast<void (*)(void)>(proc));
  }();
  return get;
}

// The NTSTATUS behind the thread's last Win32 error `error`: kernel32 keeps
// it when it turns one into the other; where it was not kept, the status the
// error usually comes from.
int32_t lastNtStatus(DWORD error) {
  RtlGetLastNtStatusFn get = lastNtStatusRoutine();
  int32_t status = get != nullptr ? static_cast<int32_t>(get()) : 0;
  return status != 0 ? status : statusForWin32(error);
}

// A path for CreateFileW (wchar_t is UTF-16 on Windows).
std::wstring widen(const std::string& text) {
  std::u16string wide = pdkit::text::utf16FromUtf8(text);
  return std::wstring(wide.begin(), wide.end());
}

[[noreturn]] void ntsimOnly(const char* command) {
  throw CommandError(std::string(command) +
                     ": only ntsim can do this; on Windows pdctl is a program like any other and talks to the "
                     "installed device with open, close, read, write, describe, table and ioctl (use the system's "
                     "own Device Manager, power menu or a kernel debugger for the rest)");
}

class WindowsBackend final : public Backend {
 public:
  explicit WindowsBackend(const DriverChoice& choice)
      : driver_(choice.ours ? choice.name : std::string()), device_(choice.deviceName) {
    lastNtStatusRoutine();
  }
  ~WindowsBackend() override {
    for (auto& [token, handle] : handles_) CloseHandle(handle);
  }

  void setEvents(BackendEvents*) override {}
  std::string world() const override { return "Windows"; }
  std::string statusName(int32_t status) const override { return statusNameOf(status); }
  bool boots() const override { return false; }
  Outcome load() override { ntsimOnly("boot"); }
  Outcome addDevice() override { ntsimOnly("boot"); }
  std::string modulePath() const override { return {}; }

  std::string devicePath(const std::string& suffix) const override { return "\\\\.\\" + device_ + suffix; }

  Outcome open(const std::string& suffix, Token& token) override {
    HANDLE handle =
        CreateFileW(widen(devicePath(suffix)).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      DWORD error = GetLastError();
      token = 0;
      return outcome(lastNtStatus(error), error, 0);
    }
    token = nextToken_++;
    handles_[token] = handle;
    return outcome(0, 0, 0);
  }

  Outcome close(Token token) override {
    HANDLE handle = handleOf(token);
    handles_.erase(token);
    if (!CloseHandle(handle)) {
      DWORD error = GetLastError();
      return outcome(lastNtStatus(error), error, 0);
    }
    return outcome(0, 0, 0);
  }

  Outcome read(Token token, uint8_t* buffer, uint32_t length) override {
    OVERLAPPED overlapped{};
    DWORD done = 0;
    BOOL ok = ReadFile(handleOf(token), buffer, length, &done, &overlapped);
    return finished(ok, done, overlapped);
  }

  Outcome write(Token token, const uint8_t* buffer, uint32_t length) override {
    OVERLAPPED overlapped{};
    DWORD done = 0;
    BOOL ok = WriteFile(handleOf(token), buffer, length, &done, &overlapped);
    return finished(ok, done, overlapped);
  }

  Outcome deviceIoControl(Token token, uint32_t code, const uint8_t* in, uint32_t inLength, uint8_t* out,
                          uint32_t outLength) override {
    OVERLAPPED overlapped{};
    DWORD done = 0;
    BOOL ok =
        DeviceIoControl(handleOf(token), code, const_cast<uint8_t*>(in), inLength, out, outLength, &done, &overlapped);
    return finished(ok, done, overlapped);
  }

  // What a person can do when the device does not open: the two failures
  // everyone meets first.
  std::string advice(const std::string& cmd, const Outcome& outcome) const override {
    if (cmd != "open") return {};
    if (outcome.win32 == ERROR_FILE_NOT_FOUND) {
      return "hint: \\\\.\\" + device_ + " does not exist: the driver is not installed (or its device was " +
             "removed); from an elevated prompt: pdinstall install " + infHint();
    }
    if (outcome.win32 == ERROR_ACCESS_DENIED) {
      return "hint: run pdctl elevated (Run as administrator); the device admits only SYSTEM and Administrators";
    }
    return {};
  }

  Later readAsync(Token token, uint8_t* buffer, uint32_t length) override {
    return onThread([=, this] { return read(token, buffer, length); });
  }

  Later writeAsync(Token token, const uint8_t* buffer, uint32_t length) override {
    return onThread([=, this] { return write(token, buffer, length); });
  }

  bool cancel(Token token) override { return CancelIoEx(handleOf(token), nullptr) != FALSE; }

  // A request run on a thread of its own (the mingw-w64 runtime has no std::thread).
  struct Job {
    std::function<Outcome()> request;
    Outcome outcome;
  };

  static DWORD WINAPI runJob(LPVOID context) {
    auto* job = static_cast<Job*>(context);
    job->outcome = job->request();
    return 0;
  }

  static Later onThread(std::function<Outcome()> request) {
    auto job = std::make_shared<Job>(Job{std::move(request), {}});
    HANDLE thread = CreateThread(nullptr, 0, runJob, job.get(), 0, nullptr);
    if (thread == nullptr) {
      job->outcome = job->request();  // no thread to spare: the request runs now
      return [job] { return job->outcome; };
    }
    return [job, thread] {
      WaitForSingleObject(thread, INFINITE);
      CloseHandle(thread);
      return job->outcome;
    };
  }

  Outcome pnp(uint8_t) override { ntsimOnly("pnp"); }
  Outcome pnpSequence(PnpSequence) override { ntsimOnly("pnp"); }
  Outcome power(uint8_t, uint32_t, uint32_t, uint32_t) override { ntsimOnly("power"); }
  Outcome sleep(uint32_t) override { ntsimOnly("sleep"); }
  Outcome wake() override { ntsimOnly("wake"); }
  void busCaps(const std::vector<BusSetting>&) override { ntsimOnly("bus"); }
  std::vector<std::string> busCapsLines() const override { return {}; }
  void busFail(bool, bool, std::optional<int32_t>) override { ntsimOnly("bus"); }
  void busPend(bool) override { ntsimOnly("bus"); }
  void fault(FaultKind, std::optional<int32_t>) override { ntsimOnly("fault"); }
  DeviceView view() override { ntsimOnly("state"); }
  Outcome unload() override { ntsimOnly("unload"); }
  bool unloaded() const override { return false; }
  void settle() override {}

  void shutdown(const std::vector<Token>& open) override {
    for (Token token : open) {
      auto it = handles_.find(token);
      if (it == handles_.end()) continue;
      CloseHandle(it->second);
      handles_.erase(it);
    }
  }

 private:
  HANDLE handleOf(Token token) const {
    auto it = handles_.find(token);
    return it == handles_.end() ? INVALID_HANDLE_VALUE : it->second;
  }

  Outcome outcome(int32_t status, DWORD error, uint64_t bytes) const {
    return Outcome{status, statusNameOf(status), static_cast<uint32_t>(error), bytes};
  }

  // The outcome of a call made with an OVERLAPPED on a synchronous handle:
  // on success the status block in the OVERLAPPED holds the status; on
  // failure kernel32 keeps the NTSTATUS it turned into the Win32 error.
  Outcome finished(BOOL ok, DWORD done, const OVERLAPPED& overlapped) const {
    if (ok) return outcome(static_cast<int32_t>(overlapped.Internal), 0, done);
    DWORD error = GetLastError();
    return outcome(lastNtStatus(error), error, overlapped.InternalHigh);
  }

  // The install command for the device, when it is one of ours.
  std::string infHint() const {
    if (driver_.empty()) return "<driver>.inf Root\\<DEVICE>";
    return driver_ + ".inf Root\\" + device_;
  }

  std::string driver_;
  std::string device_;
  std::map<Token, HANDLE> handles_;
  Token nextToken_ = 1;
};

}  // namespace

std::unique_ptr<Backend> makeBackend(const DriverChoice& choice) {
  if (!choice.modulePath.empty() && !choice.ours) {
    throw CommandError("--driver " + choice.modulePath +
                       ": on Windows pdctl loads no driver module; install the driver (see install/) and name its "
                       "device with --device NAME");
  }
  if (choice.deviceName.empty()) throw CommandError("no device to open: name it with --device NAME");
  return std::make_unique<WindowsBackend>(choice);
}

}  // namespace pdctl
