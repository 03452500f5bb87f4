// The machine's private state, shared by the kernel routines' files.
#pragma once

#include "handle_table.h"
#include "kdlog.h"
#include "lookaside.h"
#include "object_names.h"
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

// ntsim's private header in front of every IRP it allocates.
struct IrpHeader {
  static constexpr uint32_t kMagic = 0x49525021;  // "IRP!"
  uint32_t magic = kMagic;
  std::atomic<int> references{1};
  size_t bytes = 0;
  // The originator's completion, run once after the last stack location.
  std::function<void(PIRP)> onComplete;
  // What the originator keeps alive until the IRP goes (a program's file's list of requests).
  std::shared_ptr<void> keepAlive;
  std::atomic<bool> completed{false};
  std::mutex doneMutex;
  std::condition_variable doneCv;
  bool done = false;  // onComplete has run
  // The originator stopped waiting (hang timeout): whoever completes it later frees it.
  bool abandoned = false;
  // Each IofCompleteRequest starts a new walk; a completion routine that
  // completes the IRP again from inside is seen by the number changing.
  std::atomic<unsigned> walks{0};
  // IofCallDriver calls in progress for this IRP; completion records the
  // finished levels below only for them.
  std::atomic<int> dispatching{0};
  // Per stack level (1-based): the location had SL_PENDING_RETURNED when it
  // was finished, and the status it was finished with.
  uint64_t finishedMask = 0;
  uint64_t pendingMask = 0;
  NTSTATUS statusAt[65]{};
  // Per stack level: the level below was finished, so this level's completion
  // routine (or the I/O manager carrying the pending mark up) may be writing
  // its location from another thread; and whether the location was marked
  // pending just before that, which is what its dispatch routine left.
  uint64_t belowFinishedMask = 0;
  uint64_t markedBeforeRoutineMask = 0;
  // The root bus's physical device object at the bottom of the stack the
  // PnP or power manager sent the IRP to (nullptr for other IRPs), and
  // whether the IRP reached it: the bus driver must see some of them.
  PDEVICE_OBJECT busPdo = nullptr;
  std::atomic<bool> reachedBus{false};
  // Power bookkeeping.
  bool sentWithPoCallDriver = false;
  std::mutex powerMutex;
  std::vector<std::pair<int, PDEVICE_OBJECT>> visited;      // (level, device) the IRP was dispatched to
  std::vector<std::pair<int, PDEVICE_OBJECT>> startedNext;  // PoStartNextPowerIrp calls
};

// The device attached directly above a device. IoGetAttachedDevice walks a
// stack without the object lock, so the link is written (under that lock)
// and read there atomically.
inline PDEVICE_OBJECT attachedAbove(PDEVICE_OBJECT device) {
  return std::atomic_ref<PDEVICE_OBJECT>(device->AttachedDevice).load(std::memory_order_acquire);
}
inline void setAttachedAbove(PDEVICE_OBJECT device, PDEVICE_OBJECT above) {
  std::atomic_ref<PDEVICE_OBJECT>(device->AttachedDevice).store(above, std::memory_order_release);
}

// An IRP's block: ntsim's header (rounded to a cache line), the IRP, its stack locations.
constexpr size_t kIrpHeaderBytes = (sizeof(IrpHeader) + 63) & ~size_t{63};
constexpr size_t irpBlockBytes(int stackSize) {
  return kIrpHeaderBytes + sizeof(IRP) + static_cast<size_t>(stackSize) * sizeof(IO_STACK_LOCATION);
}

IrpHeader* headerOf(PIRP irp);
// Allocates an IRP the way the I/O manager does; the header starts with one reference.
PIRP allocateIrp(CCHAR stackSize);
void addIrpReference(PIRP irp);
void releaseIrp(PIRP irp);
// A buffered request's system buffer: `bytes` zero-filled bytes from the
// machine's lookaside lists (or the heap, when large); freed with
// freeSystemBuffer. NULL when memory is out.
void* allocateSystemBuffer(MachineState& s, size_t bytes);
void freeSystemBuffer(MachineState& s, void* buffer);
// Sends an IRP down a stack and waits until its originator completion ran
// (reporting a hang instead of hanging). Returns the final I/O status.
IoResult sendAndWait(PDEVICE_OBJECT target, PIRP irp, bool power);
// A request refused before any driver saw it, as the program sees it.
IoResult failure(NTSTATUS status);
// The calling thread's next sendAndWait calls `told` once the dispatch routine returned.
void setAfterDispatch(std::function<void()> told);

// The PnP requests of a device's life: start, stop and removal, their queries and cancels, surprise removal.
constexpr bool isLifecycleMinor(UCHAR minor) {
  return minor <= IRP_MN_CANCEL_STOP_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL;
}

// The PnP and power rules that need the bus driver's view (pnp_rules.cpp).
// The root bus's physical device object at the bottom of the device's stack, or nullptr.
PDEVICE_OBJECT busPdoBelow(PDEVICE_OBJECT device);
// Checked when an IRP the PnP or power manager sent is finished.
void checkBusRules(MachineState& s, PIRP irp, IrpHeader* h, UCHAR major, UCHAR minor);

struct PoolBlock {
  size_t size;
  ULONG tag;
  const Driver* owner;
  POOL_TYPE type;
};

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
  int nodeCounter = 0;

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

  // Threads the bus started to complete requests later, still running.
  std::atomic<int> busThreads{0};

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
std::string describeIrp(PIRP irp);
// Pool charged to the driver whose code is at `caller` (its leaks are reported at its unload).
PVOID allocatePoolFor(POOL_TYPE type, SIZE_T bytes, ULONG tag, const void* caller);

}  // namespace ntsim
