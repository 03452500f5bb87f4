// The machine's private state, shared by the kernel routines' files.
#pragma once

#include "handle_table.h"
#include "helper_threads.h"
#include "irp.h"
#include "kdlog.h"
#include "lookaside.h"
#include "object_names.h"
#include "pool.h"
#include "removelock_table.h"
#include "workers.h"

#include <ntsim/ntsim.h>

#include "text/hex.h"

#include <atomic>
#include <cstring>
#include <cstdio>
#include <condition_variable>
#include <deque>
#include <list>
#include <set>
#include <thread>
#include <unordered_map>

// ntsim's private part of every device object (DEVICE_OBJECT.DeviceObjectExtension).
struct _DEVOBJ_EXTENSION {
  PDEVICE_OBJECT self = nullptr;
  PDEVICE_OBJECT attachedTo = nullptr;  // the device below, after IoAttachDeviceToDeviceStack
  std::u16string name;                  // full name, e.g. \DosDevices\TAVRINDEV
  ULONG extensionSize = 0;
  bool deletePending = false;         // IoDeleteDevice called while handles were open
  ntsim::DeviceNode* node = nullptr;  // set on physical device objects of the root bus
  bool removalSent = false;           // IRP_MN_REMOVE_DEVICE was sent to its stack
  // The power manager's per-device serialisation: the active query/set IRP of
  // each kind (system, device) and those waiting behind it.
  PIRP activePower[2] = {nullptr, nullptr};
  std::list<PIRP> queuedPower[2];
};

namespace ntsim {

struct MachineState {
  // The I/O manager's lookaside lists: IRPs by stack count, MDLs, and
  // system buffers by size. First, so that they are the last to go.
  Lookaside irpLookaside{{irpBlockBytes(1), irpBlockBytes(2), irpBlockBytes(3), irpBlockBytes(4), irpBlockBytes(5),
                          irpBlockBytes(6), irpBlockBytes(7), irpBlockBytes(8)},
                         64};
  Lookaside mdlLookaside{{sizeof(MDL)}, 64};
  Lookaside bufferLookaside{{64, 128, 256, 512, 1024, 2048, 4096}, 64};

  Machine* machine = nullptr;

  // Debugger.
  DebugLog kd;
  std::atomic<bool> kdCapture{true};
  std::atomic<bool> kdHasEcho{false};
  std::mutex kdEchoMutex;
  std::function<void(const std::string&)> kdEcho;
  // The last texts echoed, kept even when nothing is captured: a bug check names them.
  std::deque<std::string> kdRecent;

  // Verifier.
  mutable std::mutex verifierMutex;
  std::vector<Violation> violations;
  std::function<void(const Violation&)> violationEcho;

  // Loader and objects.
  mutable std::recursive_mutex objectMutex;
  std::list<std::unique_ptr<Driver>> drivers;
  std::list<std::unique_ptr<DeviceNode>> nodes;
  std::map<std::u16string, PDEVICE_OBJECT> names;  // canonical full name -> device
  ObjectNames objectNames;                         // links, interfaces, drivers' names
  PDRIVER_OBJECT busDriver = nullptr;
  std::vector<PDRIVER_OBJECT> testDrivers;

  // Pool.
  mutable std::mutex poolMutex;
  std::unordered_map<void*, PoolBlock> pool;
  std::set<void*> recentlyFreed;
  size_t poolAllocationCount = 0;

  // Remove locks.
  RemoveLockTable removeLocks;

  // Waits (events, mutexes, remove-lock drains).
  std::mutex waitMutex;
  std::condition_variable waitCv;
  std::atomic<int> waiters{0};  // threads blocked (or about to block) on waitCv
  std::chrono::milliseconds hangTimeout{10000};

  // User-mode handles.
  HandleTable handles;

  // Power manager.
  mutable std::mutex powerMutex;
  std::map<PDEVICE_OBJECT, std::vector<PowerStateRecord>> powerStates;
  POWER_ACTION systemAction = PowerActionNone;

  // Requests whose originator gave up waiting (hang timeout), freed when
  // someone completes them or when the machine goes.
  std::mutex abandonedMutex;
  std::set<PIRP> abandoned;

  // Requests the bus completes later and power IRPs sent later, on helper threads, not yet done.
  InFlight busCompletions;

  Faults faults;
  std::mutex faultMutex;

  // The Windows version the machine runs (RtlGetVersion).
  WindowsVersion windows;

  // The clock, DPCs, work items and system threads.
  Workers workers;

  void report(std::string rule, std::string detail);
  const Driver* ownerOf(const void* codeAddress) const;
  bool takeFault(int& counter);
  // Driver Verifier's code-integrity option applies to the driver whose code
  // is at codeAddress: the machine runs Windows 8 or later and the module is
  // built for Windows 8 or later.
  const Driver* codeIntegrityChecked(const void* codeAddress) const;
};

// The one current machine (Machine::current), and what a kernel routine
// called with none does: it says so and aborts.
extern std::atomic<Machine*> g_current [[gnu::visibility("hidden")]];
[[noreturn]] void noMachine();

// The current machine's state; every kernel routine starts here, so it is inline.
inline MachineState& M() {
  Machine* machine = g_current.load(std::memory_order_acquire);
  if (machine == nullptr) [[unlikely]]
    noMachine();
  return machine->state();
}
using pdkit::text::hex;  // 0x2a, for addresses and codes in messages

}  // namespace ntsim
