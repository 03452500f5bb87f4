// ntsim - a user-mode stand-in of the Windows kernel for WDM drivers.
//
// This is the host side: tests, tools and pdctl create one Machine, load
// driver modules into it, and drive them the way the kernel's own managers
// do (the PnP manager's requests, a program's open/read/write/ioctl/close,
// the power manager's transitions). Drivers see only wdm.h.
#pragma once

#include <wdm.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ntsim {

class Machine;
struct MachineState;
class Module;

// Outcome of a request as the program (or the kernel component) that sent it sees it.
struct IoResult {
  NTSTATUS status = STATUS_SUCCESS;
  ULONG_PTR information = 0;
  // The Win32 error a program would read from GetLastError (0 on success).
  uint32_t win32 = 0;
  // FALSE from the Win32 call: the final status is an error or a warning.
  bool failed() const { return NT_ERROR(status) || NT_WARNING(status); }
};

using Handle = uint32_t;

struct OpenResult {
  IoResult result;
  Handle handle = 0;  // 0 when the open failed
};

// A rule broken by a driver (or by a caller of the kernel routines), as
// Driver Verifier would report it.
struct Violation {
  std::string rule;
  std::string detail;
};

// One acquisition a remove lock holds: its tag, and the File and Line the
// caller of IoAcquireRemoveLockEx passed (as a checked build records them).
struct RemoveLockHold {
  PVOID tag;
  std::string file;
  ULONG line;
};

// One DbgPrint call as the debugger received it.
struct DebugRecord {
  std::string text;
};

// What the root bus driver answers for one device; scriptable at any time.
struct BusBehaviour {
  DEVICE_CAPABILITIES capabilities{};  // the report it fills in for IRP_MN_QUERY_CAPABILITIES
  NTSTATUS capabilitiesStatus = STATUS_SUCCESS;
  NTSTATUS powerStatus = STATUS_SUCCESS;
  bool pend = false;  // complete later, from another thread at DISPATCH_LEVEL
  // How much later: by default long enough for the dispatch routine to have
  // returned STATUS_PENDING first; zero lets the two race (a fuzzer's choice).
  std::chrono::microseconds pendDelay{1000};
};

// One IRP that reached the root bus (the bottom of a device stack).
struct BusRecord {
  UCHAR major = 0;
  UCHAR minor = 0;
  ULONG powerType = 0;
  ULONG powerState = 0;
  ULONG shutdownType = 0;
  NTSTATUS completedWith = 0;
};

// The root bus's usual report: D0 when working, D3 in every sleep state.
DEVICE_CAPABILITIES rootBusCapabilities();

struct PowerStateRecord {
  POWER_STATE_TYPE type;
  ULONG state;
};

class Driver;

// Where a device is in its life, as the PnP manager sees it.
enum class DeviceState {
  added,            // AddDevice ran (or failed: see addDeviceStatus)
  started,          // IRP_MN_START_DEVICE succeeded
  stopped,          // stopped for a rebalance
  surpriseRemoved,  // IRP_MN_SURPRISE_REMOVAL sent; IRP_MN_REMOVE_DEVICE follows the last close
  removed,          // IRP_MN_REMOVE_DEVICE sent: the driver's device is gone; AddDevice may run again
};
const char* deviceStateName(DeviceState state);

// A root-enumerated device: the physical device object on the root bus and
// whatever the driver attached above it.
class DeviceNode {
 public:
  PDEVICE_OBJECT pdo() const { return pdo_; }
  Driver* driver() const { return driver_; }
  NTSTATUS addDeviceStatus() const { return addStatus_; }
  DeviceState state() const { return state_; }
  // The function device object the driver attached, or nullptr.
  PDEVICE_OBJECT fdo() const;

  BusBehaviour bus() const;
  void setBus(const BusBehaviour& behaviour);
  std::vector<BusRecord> busRecords() const;

 private:
  friend class Machine;
  friend struct MachineState;
  PDEVICE_OBJECT pdo_ = nullptr;
  Driver* driver_ = nullptr;
  NTSTATUS addStatus_ = STATUS_SUCCESS;
  DeviceState state_ = DeviceState::added;
};

class Driver {
 public:
  PDRIVER_OBJECT object() const { return object_; }
  const std::string& path() const { return path_; }
  const std::string& name() const { return name_; }
  bool loaded() const { return handle_ != nullptr; }
  // Looks up an exported symbol of the module (nullptr when absent).
  void* symbol(const char* name) const;
  // The Windows version the module is built for (its NTDDI_VERSION), 0 when it declares none.
  ULONG ntddiVersion() const { return ntddiVersion_; }

 private:
  friend class Machine;
  friend struct MachineState;
  std::string path_;
  std::string name_;
  std::shared_ptr<Module> module_;  // the mapping it runs from; shared with a ModuleImage
  void* handle_ = nullptr;
  PDRIVER_OBJECT object_ = nullptr;
  uintptr_t imageBegin_ = 0;
  uintptr_t imageEnd_ = 0;
  ULONG ntddiVersion_ = 0;
};

// The Windows version a machine runs, as RtlGetVersion reports it.
struct WindowsVersion {
  ULONG major = 10;
  ULONG minor = 0;
  ULONG build = 19045;
  // Windows 8 and later: NX pool and no-execute mappings exist, and Driver
  // Verifier checks code integrity.
  bool hasNoExecuteMemory() const { return major > 6 || (major == 6 && minor >= 2); }
};

// A driver module mapped once and loaded many times, for a fuzzer's speed:
// each Machine::load(image) first puts the module's writable data and bss
// back to the bytes they held right after the module was mapped, instead of
// mapping a fresh copy of the file. One load at a time may run from it.
class ModuleImage {
 public:
  // Maps the module (throws std::runtime_error as Machine::load does).
  explicit ModuleImage(const std::string& path);
  ~ModuleImage();
  ModuleImage(const ModuleImage&) = delete;
  ModuleImage& operator=(const ModuleImage&) = delete;

  const std::string& path() const { return path_; }
  // The module's writable bytes, as they are now; reset() puts back their state after mapping.
  std::vector<std::span<std::byte>> writableBytes() const;
  void reset();
  // Unmaps the module and maps it afresh from the copy of the file made
  // when the image was made: a full reload, without reading the file again.
  void remap();

 private:
  friend class Machine;
  Module& mapping() const;
  std::string path_;
  std::shared_ptr<Module> module_;
};

// Faults injected into the kernel's routines: each counter fails that many
// of the next calls (a failure status of choice where the routine has one).
struct Faults {
  int pool = 0;          // ExAllocatePoolWithTag returns NULL
  int poolSkip = 0;      // ... after letting this many succeed
  int mapping = 0;       // MmMapLockedPagesSpecifyCache returns NULL
  int createDevice = 0;  // IoCreateDevice fails with createDeviceStatus
  NTSTATUS createDeviceStatus = STATUS_INSUFFICIENT_RESOURCES;
  int attach = 0;        // IoAttachDeviceToDeviceStack returns NULL
  int powerRequest = 0;  // PoRequestPowerIrp returns powerRequestStatus
  NTSTATUS powerRequestStatus = STATUS_INSUFFICIENT_RESOURCES;
};

class Machine {
 public:
  Machine();
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  // The machine the kernel routines act on. There is one at a time.
  static Machine& current();
  static Machine* currentOrNull();

  // ---- loading (the kernel's loader and the PnP manager)
  // Loads a driver module and calls its DriverEntry. Throws std::runtime_error
  // with a message saying what was wrong when the module cannot be loaded.
  Driver& load(const std::string& path);
  // Loads from an image mapped once (reset first): the same as loading its path afresh.
  Driver& load(ModuleImage& image);
  // Creates a root-bus device and calls the driver's AddDevice for it.
  DeviceNode& addDevice(Driver& driver);
  // A root-bus device with no driver yet: tests attach in-process devices to node.pdo().
  DeviceNode& createNode();
  // A driver object for in-process test drivers: every MajorFunction is the
  // I/O manager's default. Owned by the machine.
  PDRIVER_OBJECT createDriverObject();
  // DriverUnload, the unload checks (devices, pool, remove locks), then the module is dropped.
  void unload(Driver& driver);
  std::vector<Driver*> drivers() const;

  // ---- the PnP manager's requests to a device stack
  IoResult pnp(DeviceNode& node, UCHAR minor);
  // IRP_MN_QUERY_CAPABILITIES, initialised as the PnP manager does; *answer gets what came back.
  IoResult queryCapabilities(DeviceNode& node, DEVICE_CAPABILITIES* answer = nullptr);

  // ---- the PnP manager's sequences: a device's whole life as Windows runs it
  // (docs/PNP-SEQUENCES.md). Each returns the outcome of the step that decided it.
  // IRP_MN_START_DEVICE, then the queries Windows sends after a start
  // (capabilities, PnP device state, bus relations).
  IoResult startDevice(DeviceNode& node);
  // Disable: vetoed (STATUS_PLUGPLAY_QUERY_VETOED, nothing sent) while a handle
  // to the device is open; else IRP_MN_QUERY_REMOVE_DEVICE, then
  // IRP_MN_REMOVE_DEVICE (or IRP_MN_CANCEL_REMOVE_DEVICE when the query failed).
  IoResult disableDevice(DeviceNode& node);
  // Enable after a disable: AddDevice again on the same physical device object, then start.
  IoResult enableDevice(DeviceNode& node);
  // IRP_MN_SURPRISE_REMOVAL at once; IRP_MN_REMOVE_DEVICE when the last handle closes.
  IoResult surpriseRemove(DeviceNode& node);
  // Stopping for a rebalance: query-stop, stop, start (cancel-stop when the query failed).
  IoResult rebalance(DeviceNode& node);
  // Every device of the driver removed, then DriverUnload, which Windows calls
  // only once the driver has no device object left; a driver whose device
  // outlives its removal is never unloaded (DRIVER_NOT_UNLOADED).
  IoResult uninstall(Driver& driver);
  std::vector<DeviceNode*> nodesOf(const Driver& driver) const;

  // ---- the power manager
  IoResult powerIrp(DeviceNode& node, UCHAR minor, POWER_STATE_TYPE type, ULONG state,
                    POWER_ACTION action = PowerActionNone);
  // A system transition: query, then set, as the power manager sends them.
  IoResult systemPower(DeviceNode& node, SYSTEM_POWER_STATE state, POWER_ACTION action);
  std::vector<PowerStateRecord> powerStateCalls(PDEVICE_OBJECT device) const;

  // ---- a program's calls (Win32 semantics)
  OpenResult open(std::string_view path);  // e.g. "\\\\.\\TAVRINDEV" or "\\\\.\\TAVRINDEV\\more"
  IoResult close(Handle handle);
  IoResult read(Handle handle, void* buffer, ULONG length, LONGLONG offset = 0);
  IoResult write(Handle handle, const void* buffer, ULONG length, LONGLONG offset = 0);
  IoResult deviceIoControl(Handle handle, ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength);
  // Overlapped requests: sent from a thread of their own; these return once
  // the driver's dispatch routine has returned (the request completed, or
  // pends), and the future gives the result as read and write would.
  std::future<IoResult> readAsync(Handle handle, void* buffer, ULONG length, LONGLONG offset = 0);
  std::future<IoResult> writeAsync(Handle handle, const void* buffer, ULONG length, LONGLONG offset = 0);
  // CancelIo for the oldest request sent through the handle and not yet
  // completed (IoCancelIrp); false when there is none. Call it from another
  // thread than the one waiting for the request.
  bool cancel(Handle handle);
  bool isOpen(Handle handle) const;
  PFILE_OBJECT fileObject(Handle handle) const;

  // ---- inspection
  std::vector<DebugRecord> debugOutput() const;  // every DbgPrint call, in order
  std::string debugStream() const;               // the text as a debugger shows it
  void clearDebugOutput();
  // Called for each DbgPrint call as it happens (pdctl's live view).
  void setDebugEcho(std::function<void(const std::string&)> echo);
  // Whether DbgPrint calls are recorded (the default) or discarded, as with
  // no debugger attached; an echo still sees every call.
  void setDebugCapture(bool capture);

  std::vector<Violation> violations() const;
  void clearViolations();
  void setViolationEcho(std::function<void(const Violation&)> echo);

  // Remove lock bookkeeping.
  LONG removeLockCount(PIO_REMOVE_LOCK lock) const;
  std::vector<PVOID> removeLockTags(PIO_REMOVE_LOCK lock) const;
  std::vector<RemoveLockHold> removeLockHolds(PIO_REMOVE_LOCK lock) const;

  // Pool bookkeeping: blocks outstanding, optionally only those of one driver.
  size_t poolOutstanding(const Driver* owner = nullptr) const;
  size_t poolAllocations() const;  // allocations made so far (all callers)
  ULONG poolTagOf(PVOID block) const;
  POOL_TYPE poolTypeOf(PVOID block) const;

  // The Windows version RtlGetVersion reports (Windows 10 unless set); set it
  // before loading drivers, which ask at DriverEntry.
  void setWindowsVersion(const WindowsVersion& version);
  WindowsVersion windowsVersion() const;

  Faults& faults();
  // How long a wait may block before ntsim reports a hang instead of hanging.
  void setHangTimeout(std::chrono::milliseconds timeout);
  // Requests the bus is still completing later from its own threads (see BusBehaviour::pend);
  // a host that shows output in order waits for 0 before it reports a request's result.
  int busCompletionsInFlight() const;
  // Blocks until busCompletionsInFlight() is 0; false when the timeout passed first.
  bool waitForBusCompletions(std::chrono::milliseconds timeout) const;

  MachineState& state() { return *state_; }

 private:
  // The unload checks (devices, pool) and the module dropped; DriverUnload is the caller's business.
  void dropDriver(Driver& driver);
  // The driver's AddDevice for the node's physical device object, and the checks on what it left.
  NTSTATUS callAddDevice(DeviceNode& node);
  // A program closed a handle to the node's stack: a surprise removal may now finish.
  void lastHandleClosed(DeviceNode& node);
  // Registers a driver running from module and calls its DriverEntry.
  Driver& start(std::shared_ptr<Module> module, const std::string& path);
  std::unique_ptr<MachineState> state_;
};

// Names and Win32 errors of NTSTATUS values.
std::string statusName(NTSTATUS status);
uint32_t win32ErrorOf(NTSTATUS status);

// UTF-16 helpers (ntsim never hands driver strings to libc's wcs* routines).
std::string narrow(const UNICODE_STRING& s);
std::u16string widen(std::string_view s);

}  // namespace ntsim
