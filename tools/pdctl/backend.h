// The two worlds pdctl talks to: ntsim, where it boots the driver first and
// can also act as the PnP manager, the power manager, the bus and the fault
// injector; and Windows, where it only opens the installed device. Commands
// that only ntsim can do throw a CommandError saying so on Windows.
#pragma once

#include "report.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace pdctl {

struct DriverChoice;

// Where the backend reports what happens while a request runs.
class BackendEvents {
 public:
  virtual ~BackendEvents() = default;
  virtual void onKd(const std::string& text) = 0;
  virtual void onViolation(const std::string& rule, const std::string& detail) = 0;
};

// A backend's own handle for an open device (pdctl numbers handles itself).
using Token = uint64_t;

// What ntsim knows of the device and its driver.
struct DeviceView {
  std::string driver;  // the module's name
  bool loaded = false;
  bool hasDevice = false;  // AddDevice created and attached a device
  std::string pnpState;    // where the device is in its life: started, removed, ...
  bool records = false;    // the driver keeps our DEVICE_EXTENSION: the fields below are read from it
  uint32_t systemPowerState = 0;
  uint32_t devicePowerState = 0;
  int32_t removeLockCount = 0;
  std::optional<uint32_t> announcedDeviceState;  // the last PoSetPowerState for the device
  std::optional<std::array<uint8_t, 64>> table;  // the driver's capability table
  std::vector<std::string> pendingFaults;        // `fault` settings not yet used up: "pool", "map", "porequest"
};

// A bus setting given by `bus caps KEY=VALUE`.
struct BusSetting {
  std::string key;
  std::string value;
};

enum class FaultKind { Mapping, Pool, PowerRequest };

// The PnP manager's sequences of requests that make up a device's life.
enum class PnpSequence { Disable, Enable, Surprise, Rebalance, Uninstall };

class Backend {
 public:
  virtual ~Backend() = default;
  virtual void setEvents(BackendEvents* events) = 0;
  // "ntsim" or "Windows", for messages.
  virtual std::string world() const = 0;
  virtual std::string statusName(int32_t status) const = 0;

  // ---- booting (ntsim only; boots() is false on Windows)
  virtual bool boots() const = 0;
  virtual Outcome load() = 0;
  virtual Outcome addDevice() = 0;
  virtual std::string modulePath() const = 0;

  // ---- a program's calls
  virtual std::string devicePath(const std::string& suffix) const = 0;  // \\.\TAVRINDEV<suffix>
  virtual Outcome open(const std::string& suffix, Token& token) = 0;
  virtual Outcome close(Token token) = 0;
  virtual Outcome read(Token token, uint8_t* buffer, uint32_t length) = 0;
  virtual Outcome write(Token token, const uint8_t* buffer, uint32_t length) = 0;
  virtual Outcome deviceIoControl(Token token, uint32_t code, const uint8_t* in, uint32_t inLength, uint8_t* out,
                                  uint32_t outLength) = 0;

  // Overlapped requests: sent now; calling the result waits for the outcome
  // (call it once; the buffer must outlive it). cancel is CancelIoEx for the
  // handle's oldest request still pending.
  using Later = std::function<Outcome()>;
  virtual Later readAsync(Token token, uint8_t* buffer, uint32_t length) = 0;
  virtual Later writeAsync(Token token, const uint8_t* buffer, uint32_t length) = 0;
  virtual bool cancel(Token token) = 0;

  // ---- the kernel's side (ntsim only)
  virtual Outcome pnp(uint8_t minor) = 0;
  virtual Outcome pnpSequence(PnpSequence which) = 0;
  virtual Outcome power(uint8_t minor, uint32_t type, uint32_t state, uint32_t action) = 0;
  virtual Outcome sleep(uint32_t state) = 0;  // query, then set, as the power manager does
  virtual Outcome wake() = 0;                 // the set to the working state that ends a sleep
  virtual void busCaps(const std::vector<BusSetting>& settings) = 0;
  virtual std::vector<std::string> busCapsLines() const = 0;                       // the report the bus gives now
  virtual void busFail(bool caps, bool power, std::optional<int32_t> status) = 0;  // nullopt: stop failing
  virtual void busPend(bool on) = 0;
  virtual void fault(FaultKind kind, std::optional<int32_t> status) = 0;
  virtual DeviceView view() = 0;
  // The fault was set and has not fired yet.
  virtual bool faultPending(FaultKind) const { return false; }
  // False when the driver left IRP_MJ_POWER to the I/O manager's default routine.
  virtual bool handlesPower() const { return true; }
  virtual Outcome unload() = 0;
  virtual bool unloaded() const = 0;

  // A line of advice for a person about a request that failed with
  // `outcome` (what to do about it in this world), or empty.
  virtual std::string advice(const std::string& /*cmd*/, const Outcome& /*outcome*/) const { return {}; }

  // Waits until nothing the last request started is still running elsewhere.
  virtual void settle() = 0;
  // The session ends: what the program left open is closed as Windows closes
  // it when a program exits, without showing debugger output.
  virtual void shutdown(const std::vector<Token>& open) = 0;
};

// The backend of this build: ntsim on Linux, the real device on Windows.
std::unique_ptr<Backend> makeBackend(const DriverChoice& choice);

}  // namespace pdctl
