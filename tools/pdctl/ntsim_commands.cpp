// The ntsim-only commands (ntsim_commands.h): what the PnP manager, the power
// manager and the bus driver would do, scripted failures, and the state the
// driver recorded.
#include "ntsim_commands.h"

#include "capability_table.h"
#include "errors.h"
#include "numbers.h"
#include "output_format.h"
#include "session.h"
#include "statuses.h"

#include <optional>

namespace pdctl {
namespace {

// While a power command runs: a driver without a power routine is the cause of what the verifier reports.
class PowerRoutineCause {
 public:
  explicit PowerRoutineCause(Session& s) : s_(s) {
    if (!s.backend().handlesPower()) {
      s.scripted("no power routine",
                 "the driver has no IRP_MJ_POWER routine: the I/O manager's default routine fails power IRPs "
                 "without PoStartNextPowerIrp; a WDM driver passes them down (PoStartNextPowerIrp, PoCallDriver)");
    }
  }
  ~PowerRoutineCause() { s_.scripted("no power routine", ""); }
  PowerRoutineCause(const PowerRoutineCause&) = delete;
  PowerRoutineCause& operator=(const PowerRoutineCause&) = delete;

 private:
  Session& s_;
};

// The PnP manager's whole sequences, by the name `pnp` takes for each.
constexpr std::pair<std::string_view, PnpSequence> kPnpSequences[] = {
    {"disable", PnpSequence::Disable},     {"enable", PnpSequence::Enable},       {"surprise", PnpSequence::Surprise},
    {"rebalance", PnpSequence::Rebalance}, {"uninstall", PnpSequence::Uninstall},
};

}  // namespace

void cmdPnp(Session& s, Args& a) {
  a.count(1, 1);
  std::string name = lower(a.text(0));
  for (const auto& [sequence, which] : kPnpSequences) {
    if (name != sequence) continue;
    Result result = s.requestResult("pnp", s.backend().pnpSequence(which));
    result.label = "pnp " + name;
    result.fields.emplace_back("sequence", name);
    s.report(std::move(result));
    return;
  }
  uint32_t minor = parseNamed(a.text(0), pnpMinors(), "PnP minor function");
  if (minor > 0xFF) a.bad("minor function " + a.text(0) + " is not a byte: expected 0 to 255");
  Outcome outcome = s.backend().pnp(static_cast<uint8_t>(minor));
  Result result = s.requestResult("pnp", outcome);
  name = minorText(minor, pnpMinors());
  result.label = "pnp " + name;
  result.fields.emplace_back("minor", name);
  s.report(std::move(result));
}

void cmdPower(Session& s, Args& a) {
  a.count(1, 4);
  std::string kind = lower(a.text(0));
  uint32_t minor, type = 0, state = 0, action = 0;
  if (kind == "system" || kind == "device") {
    a.count(3, 4);
    std::string verb = lower(a.text(1));
    if (verb != "query" && verb != "set") a.bad("expected query or set after " + kind + ", not " + inQuotes(a.text(1)));
    minor = verb == "set" ? kIrpMnSetPower : kIrpMnQueryPower;
    type = kind == "system" ? kSystemPowerState : kDevicePowerState;
    state = parseNamed(a.text(2), kind == "system" ? systemStates() : deviceStates(),
                       kind == "system" ? "system power state" : "device power state");
    action = a.size() == 4      ? parseNamed(a.text(3), powerActions(), "power action")
             : kind == "system" ? actionForSystemState(state)
                                : 0;
  } else {
    a.count(1, 1);
    minor = parseNamed(a.text(0), powerMinors(), "power minor function (or system, device)");
    if (minor > 0xFF) a.bad("minor function " + a.text(0) + " is not a byte: expected 0 to 255");
  }
  PowerRoutineCause cause(s);
  Outcome outcome = s.backend().power(static_cast<uint8_t>(minor), type, state, action);
  Result result = s.requestResult("power", outcome);
  std::string name = minorText(minor, powerMinors());
  result.fields.emplace_back("minor", name);
  result.label = "power " + name;
  if (kind == "system" || kind == "device") {
    result.fields.emplace_back("type", kind);
    result.fields.emplace_back("state", state);
    result.fields.emplace_back("action", action);
    result.label +=
        " " + kind + " " + (kind == "system" ? systemStateText(state) : deviceStateText(state)) + ", " +
        (nameOf(action, powerActions()).empty() ? std::to_string(action) : std::string(nameOf(action, powerActions())));
  }
  s.report(std::move(result));
}

void cmdSleep(Session& s, Args& a) {
  a.count(1, 1);
  uint32_t state = parseNamed(a.text(0), systemStates(), "system power state");
  PowerRoutineCause cause(s);
  Outcome outcome = s.backend().sleep(state);
  Result result = s.requestResult("sleep", outcome);
  result.label = "sleep " + systemStateText(state);
  result.fields.emplace_back("state", state);
  result.fields.emplace_back("action", actionForSystemState(state));
  s.report(std::move(result));
}

void cmdWake(Session& s, Args& a) {
  a.count(0, 0);
  PowerRoutineCause cause(s);
  Outcome outcome = s.backend().wake();
  Result result = s.requestResult("wake", outcome);
  result.label = "wake " + systemStateText(kPowerSystemWorking);
  result.fields.emplace_back("state", kPowerSystemWorking);
  s.report(std::move(result));
}

void cmdBus(Session& s, Args& a) {
  a.count(1, 64);
  std::string what = lower(a.text(0));
  std::string summary;
  Json::Object fields;
  if (what == "caps") {
    std::vector<BusSetting> settings;
    for (size_t i = 1; i < a.size(); ++i) {
      const std::string& word = a.text(i);
      auto eq = word.find('=');
      if (eq == std::string::npos && lower(word) == "default") {
        settings.push_back({"default", ""});
      } else if (eq == std::string::npos || eq == 0) {
        a.bad("bad setting " + inQuotes(word) +
              ": expected KEY=VALUE (e.g. D1=1, DeviceState=0:1:4:4:4:4:4) or default");
      } else {
        settings.push_back({word.substr(0, eq), word.substr(eq + 1)});
      }
    }
    s.backend().busCaps(settings);
    summary = "the bus answers IRP_MN_QUERY_CAPABILITIES with this report from now on";
    Result result = s.localResult("bus", summary);
    result.lines = s.backend().busCapsLines();
    result.fields.emplace_back("setting", "caps");
    s.report(std::move(result));
    return;
  }
  if (what == "fail") {
    a.count(2, 3);
    std::string which = lower(a.text(1));
    if (which == "off") {
      a.count(2, 2);
      s.backend().busFail(true, true, std::nullopt);
      summary = "the bus no longer fails requests";
      s.scripted("bus fail caps", "");
      s.scripted("bus fail power", "");
    } else if (which == "caps" || which == "power") {
      a.count(3, 3);
      std::optional<int32_t> status;
      if (lower(a.text(2)) != "off") status = parseStatus(a.text(2), "bus failure status");
      s.backend().busFail(which == "caps", which == "power", status);
      std::string requests = which == "caps" ? "IRP_MN_QUERY_CAPABILITIES" : "power IRPs (set and query)";
      summary = status ? "the bus fails " + requests + " with " + s.backend().statusName(*status) + " (" +
                             hex32(static_cast<uint32_t>(*status)) + ") from now on"
                       : "the bus no longer fails " + requests;
      s.scripted("bus fail " + which,
                 status ? "pdctl's bus fail " + which + ": " + summary.substr(0, summary.find(" from now on")) : "");
      if (status) fields.emplace_back("fail_status", hex32(static_cast<uint32_t>(*status)));
    } else {
      a.bad("expected caps, power or off after fail, not " + inQuotes(a.text(1)));
    }
    fields.emplace(fields.begin(), "setting", "fail");
  } else if (what == "pend") {
    a.count(2, 2);
    std::string on = lower(a.text(1));
    if (on != "on" && on != "off") a.bad("expected on or off after pend, not " + inQuotes(a.text(1)));
    s.backend().busPend(on == "on");
    summary = on == "on" ? "the bus completes requests later, from another thread at DISPATCH_LEVEL"
                         : "the bus completes requests at once";
    fields = {{"setting", "pend"}, {"pend", on == "on"}};
  } else {
    a.bad("expected caps, fail or pend after bus, not " + inQuotes(a.text(0)));
  }
  Result result = s.localResult("bus", summary);
  result.fields = std::move(fields);
  s.report(std::move(result));
}

void cmdFault(Session& s, Args& a) {
  a.count(1, 2);
  std::string kind = lower(a.text(0));
  std::optional<int32_t> status;
  if (a.size() == 2) status = parseStatus(a.text(1), "fault status");
  FaultKind fault;
  std::string summary;
  if (kind == "map") {
    fault = FaultKind::Mapping;
    summary = "the next MmMapLockedPagesSpecifyCache returns NULL";
  } else if (kind == "pool") {
    fault = FaultKind::Pool;
    summary = "the next ExAllocatePoolWithTag returns NULL";
    if (s.driver().ours) {
      summary += " (pending: " + s.driver().name +
                 " allocates only in AddDevice, which has run: `pnp disable` then `pnp enable` reaches it; state "
                 "shows the fault pending)";
    }
  } else if (kind == "porequest") {
    fault = FaultKind::PowerRequest;
    int32_t given = status.value_or(kStatusInsufficientResources);
    summary = "the next PoRequestPowerIrp returns " + s.backend().statusName(given) + " (" +
              hex32(static_cast<uint32_t>(given)) + ")";
  } else {
    a.bad("expected map, pool or porequest, not " + inQuotes(a.text(0)));
  }
  if (status && fault != FaultKind::PowerRequest) {
    a.bad(kind + " takes no status: the call fails by returning NULL");
  }
  s.backend().fault(fault, status);
  s.faultSet(fault, "pdctl's fault " + kind + ": " + summary.substr(0, summary.find(" (pending")));
  Result result = s.localResult("fault", summary);
  result.fields = {{"fault", kind}};
  if (fault == FaultKind::PowerRequest) {
    result.fields.emplace_back("fault_status",
                               hex32(static_cast<uint32_t>(status.value_or(kStatusInsufficientResources))));
  }
  s.report(std::move(result));
}

void cmdState(Session& s, Args& a) {
  a.count(0, 0);
  DeviceView view = s.backend().view();
  std::vector<int> handles = s.openHandles();
  Result result = s.localResult("state", "");
  Json::Array handleArray;
  std::string handleText;
  for (int h : handles) {
    handleArray.emplace_back(h);
    handleText += (handleText.empty() ? "" : ", ") + std::to_string(h);
  }
  // The driver's own device, whatever --device names for open.
  const DriverChoice& choice = s.driver();
  std::string device = choice.driverDevice.empty() ? s.backend().devicePath("") : "\\\\.\\" + choice.driverDevice;
  result.summary = "driver " + view.driver + (view.loaded ? " loaded" : " unloaded") +
                   (view.hasDevice ? ", device " + device : ", no device") +
                   (view.pnpState.empty() ? "" : " (" + view.pnpState + ")");
  if (!choice.driverDevice.empty() && choice.deviceName != choice.driverDevice) {
    result.lines.push_back("open opens " + s.backend().devicePath("") + " (--device), not the driver's device");
  }
  result.fields = {{"driver", view.driver}, {"loaded", view.loaded}, {"device", view.hasDevice}};
  if (!view.pnpState.empty()) result.fields.emplace_back("pnp_state", view.pnpState);
  if (view.records) {
    result.fields.emplace_back("system_power_state", view.systemPowerState);
    result.fields.emplace_back("device_power_state", view.devicePowerState);
    result.fields.emplace_back("remove_lock_count", view.removeLockCount);
    result.lines.push_back("power: system " + std::to_string(view.systemPowerState) + " " +
                           systemStateText(view.systemPowerState) + ", device " +
                           std::to_string(view.devicePowerState) + " " + deviceStateText(view.devicePowerState) +
                           " (as the driver recorded them)");
    result.lines.push_back("remove lock: count " + std::to_string(view.removeLockCount) +
                           " (1 held by the device until it is removed, plus 1 per open handle and per request in "
                           "progress)");
  } else {
    result.fields.emplace_back("system_power_state", nullptr);
    result.fields.emplace_back("device_power_state", nullptr);
    result.fields.emplace_back("remove_lock_count", nullptr);
    if (view.hasDevice) result.lines.push_back("power and remove lock: not known for this driver (not one of ours)");
  }
  if (view.announcedDeviceState) {
    result.fields.emplace_back("announced_device_power_state", *view.announcedDeviceState);
    result.lines.push_back("last PoSetPowerState: device " + std::to_string(*view.announcedDeviceState) + " " +
                           deviceStateText(*view.announcedDeviceState));
  } else {
    result.fields.emplace_back("announced_device_power_state", nullptr);
  }
  result.fields.emplace_back("handles", std::move(handleArray));
  result.lines.push_back("open handles: " + (handleText.empty() ? std::string("none") : handleText));
  Json::Array faults;
  std::string faultText;
  for (const auto& fault : view.pendingFaults) {
    faults.emplace_back(fault);
    faultText += (faultText.empty() ? "" : ", ") + fault;
  }
  if (!faultText.empty()) result.lines.push_back("pending faults: " + faultText);
  std::optional<DecodedTable> table;
  if (view.table) table = decodeTable(*view.table);
  if (table) {
    result.fields.emplace_back("table", tableJson(*table));
    result.lines.push_back("capability table: " + tableSummary(*table));
  } else {
    result.fields.emplace_back("table", nullptr);
  }
  result.fields.emplace_back("pending_faults", std::move(faults));
  s.report(std::move(result));
}

void cmdUnload(Session& s, Args& a) {
  a.count(0, 0);
  if (s.backend().unloaded()) throw CommandError("unload: the driver is already unloaded");
  auto open = s.openHandles();
  if (!open.empty()) {
    throw CommandError("unload: handle " + std::to_string(open.front()) +
                       " is still open: close every handle first (Windows does not unload a driver whose device "
                       "has open handles)");
  }
  Outcome outcome = s.backend().unload();
  s.report(s.requestResult("unload", outcome));
}
}  // namespace pdctl
