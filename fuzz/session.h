// One fuzz input's run: a fresh ntsim machine, the driver booted (from a
// module image put back to its just-mapped state) as the PnP manager boots it, the operations carried out one by one
// and each checked against the reference model, then everything closed and unloaded.
//
// The oracle after every operation: the status, the information and the
// bytes the caller got equal the model's; no byte outside what the request
// may write changed; the store, the copy of the capabilities, the two power
// states, the remove lock's count, the pool the driver holds, the power
// states it announced and the IRPs that reached the bus equal the model's;
// and the verifier reported nothing but the failed set-power IRPs that the
// scripted environment itself caused. A difference aborts the process with a
// description of the operations so far.
#pragma once

#include "driver_traits.h"
#include "model.h"
#include "operations.h"

#include <ntsim/ntsim.h>

#include <functional>
#include <string>
#include <vector>

typedef struct _DEVICE_EXTENSION* PDEVICE_EXTENSION;

namespace pdkit::fuzz {

class Session {
 public:
  // The reload operation maps the image afresh (a full reload) or loads it
  // reset in place; beforeRemap runs just before a remap, while the old
  // mapping is still there.
  Session(const DriverTraits& traits, ntsim::ModuleImage& image, std::function<void()> beforeRemap = {});
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  void run(const std::vector<Op>& ops);

 private:
  void boot();
  void execute(const Op& op);
  void finish();

  // The operations, each carried out on the machine and checked.
  void open(const Op& op);
  void close(const Op& op);
  void read(const Op& op);
  void write(const Op& op);
  void control(const Op& op);
  void pnp(const Op& op);
  void power(const Op& op);
  void systemPower(const Op& op);
  void setBus(const Op& op);
  void addFaults(const Op& op);
  void removeAndWait();
  void unload();
  void reload(const FaultScript& faults, bool remap);
  void addDevice(const FaultScript& faults);
  void closeAll();

  // Checks.
  void expectResult(const ntsim::IoResult& result, const Expected& expected, const char* what);
  void settle();
  void expectState();
  void expectViolations(int failedSets);
  void expectDebugOutput(const Expected& expected);
  [[noreturn]] void fail(const std::string& what);

  PDEVICE_EXTENSION extension() const;
  ntsim::Handle pickHandle(uint8_t index) const;

  const DriverTraits& traits_;
  ntsim::ModuleImage& image_;
  std::function<void()> beforeRemap_;
  ntsim::Machine machine_;
  DeviceModel model_;
  ntsim::Driver* driver_ = nullptr;
  ntsim::DeviceNode* node_ = nullptr;  // the node whose device the driver serves, if any
  size_t announcedBefore_ = 0;         // PoSetPowerState records of earlier devices at the same address
  std::vector<ntsim::Handle> handles_;
  std::vector<Op> done_;  // operations so far, for the failure report
};

}  // namespace pdkit::fuzz
