// The ntsim backend: boots the driver module on a fresh ntsim machine and
// plays every part around it: the loader, the PnP manager, the power
// manager, the root bus, the fault injector, and the program.
#include "backend.h"
#include "errors.h"
#include "ntsim_inspect.h"
#include "numbers.h"
#include "options.h"

#include <ntsim/ntsim.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <string_view>
#include <thread>

namespace pdctl {
namespace {

// A DEVICE_CAPABILITIES flag that `bus caps` can set by name.
struct CapabilityFlag {
  const char* name;
  void (*set)(DEVICE_CAPABILITIES&, ULONG);
  ULONG (*get)(const DEVICE_CAPABILITIES&);
};

#define PDCTL_FLAG(field)                                                                                              \
  CapabilityFlag {                                                                                                     \
#field, [](DEVICE_CAPABILITIES & c,                                                                                \
               ULONG v) { c.field = v & 1; }, [](const DEVICE_CAPABILITIES& c) { return static_cast<ULONG>(c.field); } \
  }

const CapabilityFlag kFlags[] = {
    PDCTL_FLAG(DeviceD1),          PDCTL_FLAG(DeviceD2),           PDCTL_FLAG(LockSupported),
    PDCTL_FLAG(EjectSupported),    PDCTL_FLAG(Removable),          PDCTL_FLAG(DockDevice),
    PDCTL_FLAG(UniqueID),          PDCTL_FLAG(SilentInstall),      PDCTL_FLAG(RawDeviceOK),
    PDCTL_FLAG(SurpriseRemovalOK), PDCTL_FLAG(WakeFromD0),         PDCTL_FLAG(WakeFromD1),
    PDCTL_FLAG(WakeFromD2),        PDCTL_FLAG(WakeFromD3),         PDCTL_FLAG(HardwareDisabled),
    PDCTL_FLAG(NonDynamic),        PDCTL_FLAG(WarmEjectSupported), PDCTL_FLAG(NoDisplayInUI),
};

#undef PDCTL_FLAG

std::string capabilityKeys() {
  return "D1, D2, WakeFromD0..WakeFromD3, SystemWake, DeviceWake, DeviceState=a:b:c:d:e:f:g, DeviceState[i], "
         "Address, UINumber, D1Latency, D2Latency, D3Latency, or a DEVICE_CAPABILITIES flag (LockSupported, "
         "EjectSupported, Removable, DockDevice, UniqueID, SilentInstall, RawDeviceOK, SurpriseRemovalOK, "
         "HardwareDisabled, NonDynamic, WarmEjectSupported, NoDisplayInUI)";
}

void applySetting(DEVICE_CAPABILITIES& caps, const BusSetting& setting) {
  std::string key = lower(setting.key);
  const std::string& value = setting.value;
  if (key == "default") {
    caps = ntsim::rootBusCapabilities();
    return;
  }
  if (key == "d1") key = "deviced1";
  if (key == "d2") key = "deviced2";
  for (const auto& flag : kFlags) {
    if (lower(flag.name) != key) continue;
    uint32_t bit = parseNumber(value, setting.key);
    if (bit > 1) throw CommandError("bus caps: " + setting.key + " is a flag: expected 0 or 1, not " + value);
    flag.set(caps, bit);
    return;
  }
  if (key == "systemwake") {
    caps.SystemWake = static_cast<SYSTEM_POWER_STATE>(parseNamed(value, systemStates(), "SystemWake"));
  } else if (key == "devicewake") {
    caps.DeviceWake = static_cast<DEVICE_POWER_STATE>(parseNamed(value, deviceStates(), "DeviceWake"));
  } else if (key == "devicestate") {
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
      size_t colon = value.find(':', start);
      parts.push_back(value.substr(start, colon - start));
      if (colon == std::string::npos) break;
      start = colon + 1;
    }
    if (parts.size() != POWER_SYSTEM_MAXIMUM) {
      throw CommandError(
          "bus caps: DeviceState takes 7 device states, one per system state S0..: expected "
          "a:b:c:d:e:f:g such as 0:D0:D3:D3:D3:D3:D3, got " +
          std::to_string(parts.size()));
    }
    for (size_t i = 0; i < parts.size(); ++i) {
      caps.DeviceState[i] = static_cast<DEVICE_POWER_STATE>(parseNamed(parts[i], deviceStates(), "DeviceState entry"));
    }
  } else if (key.starts_with("devicestate[") && key.ends_with("]")) {
    uint32_t index = parseNumber(key.substr(12, key.size() - 13), "the DeviceState index");
    if (index >= POWER_SYSTEM_MAXIMUM) {
      throw CommandError("bus caps: DeviceState index " + std::to_string(index) + " is out of range: expected 0 to 6");
    }
    caps.DeviceState[index] = static_cast<DEVICE_POWER_STATE>(parseNamed(value, deviceStates(), "DeviceState entry"));
  } else if (key == "address") {
    caps.Address = parseNumber(value, "Address");
  } else if (key == "uinumber") {
    caps.UINumber = parseNumber(value, "UINumber");
  } else if (key == "d1latency") {
    caps.D1Latency = parseNumber(value, "D1Latency");
  } else if (key == "d2latency") {
    caps.D2Latency = parseNumber(value, "D2Latency");
  } else if (key == "d3latency") {
    caps.D3Latency = parseNumber(value, "D3Latency");
  } else {
    throw CommandError("bus caps: unknown capability " + inQuotes(setting.key) + ": expected " + capabilityKeys());
  }
}

// Refuses what cannot be a driver module before the loader sees it, naming the file as given.
void checkModuleFile(const std::string& path) {
  std::error_code error;
  if (std::filesystem::is_directory(path, error)) {
    throw CommandError("--driver " + printable(path) +
                       " is a directory: expected a driver module file (.so), such as build/host/drivers/hello.so");
  }
  std::ifstream file(path, std::ios::binary);
  if (!file) return;  // the loader says it does not exist
  char magic[4] = {};
  file.read(magic, sizeof magic);
  if (file.gcount() != 4 || std::string_view(magic, 4) !=
                                "\x7f"
                                "ELF") {
    throw CommandError("--driver " + printable(path) +
                       " is not a driver module (not an ELF shared object): expected a .so built against ntsim's "
                       "headers (docs/DRIVER-MODULES.md)");
  }
}

class NtsimBackend final : public Backend {
 public:
  explicit NtsimBackend(const DriverChoice& choice) : choice_(choice), machine_(std::make_unique<ntsim::Machine>()) {
    // The echo shows every DbgPrint call as it happens; keeping them as well
    // would grow with every command of a long script.
    machine_->setDebugCapture(false);
    machine_->setDebugEcho([this](const std::string& text) {
      std::lock_guard lock(eventMutex_);
      if (events_ != nullptr && showKd_) events_->onKd(text);
    });
    machine_->setViolationEcho([this](const ntsim::Violation& violation) {
      std::lock_guard lock(eventMutex_);
      if (events_ != nullptr) events_->onViolation(violation.rule, violation.detail);
    });
  }

  ~NtsimBackend() override {
    {
      std::lock_guard lock(eventMutex_);
      events_ = nullptr;
    }
    machine_.reset();
  }

  void setEvents(BackendEvents* events) override {
    std::lock_guard lock(eventMutex_);
    events_ = events;
  }

  std::string world() const override { return "ntsim"; }
  std::string statusName(int32_t status) const override { return ntsim::statusName(status); }
  bool boots() const override { return true; }
  std::string modulePath() const override { return choice_.modulePath; }

  Outcome load() override {
    checkModuleFile(choice_.modulePath);
    try {
      driver_ = &machine_->load(choice_.modulePath);
    } catch (const std::exception& error) {
      throw CommandError(error.what());
    }
    return outcome(STATUS_SUCCESS, 0);
  }

  Outcome addDevice() override {
    node_ = &machine_->addDevice(*driver_);
    return outcome(node_->addDeviceStatus(), 0);
  }

  std::string devicePath(const std::string& suffix) const override {
    if (choice_.deviceName.empty()) return "\\\\.\\?" + suffix;
    return "\\\\.\\" + choice_.deviceName + suffix;
  }

  Outcome open(const std::string& suffix, Token& token) override {
    if (choice_.deviceName.empty()) {
      throw CommandError("open: the device of driver " + choice_.name +
                         " has no known name: name it with --device NAME (the name after \\\\.\\, e.g. --device "
                         "HELLODEV for the example driver)");
    }
    ntsim::OpenResult opened = machine_->open(devicePath(suffix));
    token = opened.handle;
    return outcome(opened.result);
  }

  Outcome close(Token token) override { return outcome(machine_->close(handleOf(token))); }

  Outcome read(Token token, uint8_t* buffer, uint32_t length) override {
    return outcome(machine_->read(handleOf(token), buffer, length));
  }

  Later readAsync(Token token, uint8_t* buffer, uint32_t length) override {
    return later(machine_->readAsync(handleOf(token), buffer, length));
  }

  Later writeAsync(Token token, const uint8_t* buffer, uint32_t length) override {
    return later(machine_->writeAsync(handleOf(token), buffer, length));
  }

  bool cancel(Token token) override { return machine_->cancel(handleOf(token)); }

  Outcome write(Token token, const uint8_t* buffer, uint32_t length) override {
    return outcome(machine_->write(handleOf(token), buffer, length));
  }

  Outcome deviceIoControl(Token token, uint32_t code, const uint8_t* in, uint32_t inLength, uint8_t* out,
                          uint32_t outLength) override {
    return outcome(machine_->deviceIoControl(handleOf(token), code, in, inLength, out, outLength));
  }

  Outcome pnp(uint8_t minor) override {
    requireStack("pnp");
    return outcome(machine_->pnp(*node_, minor));
  }

  Outcome power(uint8_t minor, uint32_t type, uint32_t state, uint32_t action) override {
    requireStack("power");
    return outcome(machine_->powerIrp(*node_, minor, static_cast<POWER_STATE_TYPE>(type), state,
                                      static_cast<POWER_ACTION>(action)));
  }

  Outcome sleep(uint32_t state) override {
    requireStack("sleep");
    sleepAction_ = static_cast<POWER_ACTION>(actionForSystemState(state));
    return outcome(machine_->systemPower(*node_, static_cast<SYSTEM_POWER_STATE>(state), sleepAction_));
  }

  Outcome wake() override {
    requireStack("wake");
    // The power manager's S0 set IRP carries the action of the sleep it ends.
    POWER_ACTION action = sleepAction_;
    sleepAction_ = PowerActionNone;
    return outcome(machine_->powerIrp(*node_, IRP_MN_SET_POWER, SystemPowerState, PowerSystemWorking, action));
  }

  void busCaps(const std::vector<BusSetting>& settings) override {
    requireNode("bus");
    ntsim::BusBehaviour behaviour = node_->bus();
    DEVICE_CAPABILITIES caps = behaviour.capabilities;
    for (const auto& setting : settings) applySetting(caps, setting);
    behaviour.capabilities = caps;
    node_->setBus(behaviour);
  }

  std::vector<std::string> busCapsLines() const override {
    if (node_ == nullptr) return {};
    DEVICE_CAPABILITIES caps = node_->bus().capabilities;
    std::string flags, others;
    for (const auto& flag : kFlags) {
      std::string name = flag.name;
      if (name == "DeviceD1" || name == "DeviceD2" || name.starts_with("WakeFrom")) {
        flags += (flags.empty() ? "" : "  ") + name + " " + std::to_string(flag.get(caps));
      } else if (flag.get(caps) != 0) {
        others += (others.empty() ? "" : " ") + name;
      }
    }
    std::string states;
    for (int i = 0; i < POWER_SYSTEM_MAXIMUM; ++i) {
      states += (i == 0 ? "" : ":") + std::to_string(static_cast<int>(caps.DeviceState[i]));
    }
    return {flags,
            "SystemWake " + std::to_string(static_cast<int>(caps.SystemWake)) + "  DeviceWake " +
                std::to_string(static_cast<int>(caps.DeviceWake)) + "  DeviceState " + states,
            "other flags set: " + (others.empty() ? std::string("none") : others)};
  }

  void busFail(bool caps, bool power, std::optional<int32_t> status) override {
    requireNode("bus");
    ntsim::BusBehaviour behaviour = node_->bus();
    if (caps) behaviour.capabilitiesStatus = status.value_or(STATUS_SUCCESS);
    if (power) behaviour.powerStatus = status.value_or(STATUS_SUCCESS);
    node_->setBus(behaviour);
  }

  void busPend(bool on) override {
    requireNode("bus");
    ntsim::BusBehaviour behaviour = node_->bus();
    behaviour.pend = on;
    node_->setBus(behaviour);
  }

  void fault(FaultKind kind, std::optional<int32_t> status) override {
    ntsim::Faults& faults = machine_->faults();
    switch (kind) {
      case FaultKind::Mapping: faults.mapping = 1; break;
      case FaultKind::Pool:
        faults.pool = 1;
        faults.poolSkip = 0;
        break;
      case FaultKind::PowerRequest:
        faults.powerRequest = 1;
        faults.powerRequestStatus = status.value_or(STATUS_INSUFFICIENT_RESOURCES);
        break;
    }
  }

  DeviceView view() override {
    DeviceView view;
    view.driver = choice_.name;
    view.loaded = driver_ != nullptr && driver_->loaded();
    PDEVICE_OBJECT device = view.loaded && node_ != nullptr ? node_->fdo() : nullptr;
    view.hasDevice = device != nullptr;
    if (view.loaded && node_ != nullptr) view.pnpState = ntsim::deviceStateName(node_->state());
    if (device != nullptr && choice_.ours) {
      DriverRecords records = readRecords(*machine_, device);
      view.records = true;
      view.systemPowerState = records.systemPowerState;
      view.devicePowerState = records.devicePowerState;
      view.removeLockCount = records.removeLockCount;
    }
    if (device != nullptr) {
      for (const auto& call : machine_->powerStateCalls(device)) {
        if (call.type == DevicePowerState) view.announcedDeviceState = call.state;
      }
    }
    if (view.loaded && choice_.ours) view.table = readCapabilityTable(*driver_);
    if (faultPending(FaultKind::Pool)) view.pendingFaults.push_back("pool");
    if (faultPending(FaultKind::Mapping)) view.pendingFaults.push_back("map");
    if (faultPending(FaultKind::PowerRequest)) view.pendingFaults.push_back("porequest");
    return view;
  }

  Outcome pnpSequence(PnpSequence which) override {
    requireStack("pnp");
    switch (which) {
      case PnpSequence::Disable: return outcome(machine_->disableDevice(*node_));
      case PnpSequence::Enable: return outcome(machine_->enableDevice(*node_));
      case PnpSequence::Surprise: return outcome(machine_->surpriseRemove(*node_));
      case PnpSequence::Rebalance: return outcome(machine_->rebalance(*node_));
      case PnpSequence::Uninstall: return outcome(machine_->uninstall(*driver_));
    }
    return outcome(STATUS_NOT_SUPPORTED, 0);
  }

  // As Windows unloads a PnP driver: the device is removed first, while it still exists.
  Outcome unload() override {
    requireLoaded("unload");
    return outcome(machine_->uninstall(*driver_));
  }

  bool faultPending(FaultKind kind) const override {
    if (!machine_) return false;  // the machine is going away (shutdown)
    const ntsim::Faults& faults = machine_->faults();
    switch (kind) {
      case FaultKind::Mapping: return faults.mapping > 0;
      case FaultKind::Pool: return faults.pool > 0;
      case FaultKind::PowerRequest: return faults.powerRequest > 0;
    }
    return false;
  }

  bool handlesPower() const override {
    if (driver_ == nullptr || !driver_->loaded()) return true;
    // ntsim fills every major function a driver leaves alone with one default routine; no
    // driver of a device like this handles IRP_MJ_CREATE_NAMED_PIPE, so it holds that default.
    const auto& major = driver_->object()->MajorFunction;
    return major[IRP_MJ_POWER] != major[IRP_MJ_CREATE_NAMED_PIPE];
  }

  bool unloaded() const override { return driver_ != nullptr && !driver_->loaded(); }

  // Waits, however long it takes, for the bus's pended completions to finish.
  void settle() override {
    if (!machine_) return;
    while (!machine_->waitForBusCompletions(std::chrono::seconds(1))) {}
  }

  void shutdown(const std::vector<Token>& open) override {
    if (!machine_) return;
    {
      std::lock_guard lock(eventMutex_);
      showKd_ = false;
    }
    for (Token token : open) machine_->close(handleOf(token));
    settle();
    machine_.reset();  // unloads what is still loaded; verifier reports still reach the session
  }

 private:
  static ntsim::Handle handleOf(Token token) { return static_cast<ntsim::Handle>(token); }

  Outcome outcome(NTSTATUS status, uint64_t bytes) const {
    return Outcome{status, ntsim::statusName(status), status == STATUS_SUCCESS ? 0 : ntsim::win32ErrorOf(status),
                   bytes};
  }

  Outcome outcome(const ntsim::IoResult& result) const {
    return Outcome{result.status, ntsim::statusName(result.status), result.win32, result.information};
  }

  // The outcome of an overlapped request, made when it is waited for.
  Later later(std::future<ntsim::IoResult> result) const {
    auto pending = std::make_shared<std::future<ntsim::IoResult>>(std::move(result));
    return [this, pending] { return outcome(pending->get()); };
  }

  void requireLoaded(const char* command) const {
    if (driver_ == nullptr || !driver_->loaded()) {
      throw CommandError(std::string(command) + ": the driver is unloaded; there is no device stack to send to");
    }
  }

  void requireNode(const char* command) const {
    requireLoaded(command);
    if (node_ == nullptr) throw CommandError(std::string(command) + ": there is no device yet");
  }

  void requireStack(const char* command) const { requireNode(command); }

  DriverChoice choice_;
  std::unique_ptr<ntsim::Machine> machine_;
  ntsim::Driver* driver_ = nullptr;
  ntsim::DeviceNode* node_ = nullptr;
  std::mutex eventMutex_;
  BackendEvents* events_ = nullptr;
  bool showKd_ = true;
  POWER_ACTION sleepAction_ = PowerActionNone;
};

}  // namespace

std::unique_ptr<Backend> makeBackend(const DriverChoice& choice) { return std::make_unique<NtsimBackend>(choice); }

}  // namespace pdctl
