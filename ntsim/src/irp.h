// IRPs as ntsim's I/O manager keeps them: the private header in front of
// every IRP it allocates and the routines the other parts share to
// allocate, send, complete and wait for them.
#pragma once

#include <ntsim/ntsim.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace ntsim {

struct MachineState;

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
  // PoStartNextPowerIrp accounting (power_rules.cpp).
  std::mutex powerMutex;
  std::vector<std::pair<int, PDEVICE_OBJECT>> visited;      // (level, device) the IRP was dispatched to
  std::vector<std::pair<int, PDEVICE_OBJECT>> startedNext;  // PoStartNextPowerIrp calls
};

// An IRP's block: ntsim's header (rounded to a cache line), the IRP, its stack locations.
constexpr size_t kIrpHeaderBytes = (sizeof(IrpHeader) + 63) & ~size_t{63};
constexpr size_t irpBlockBytes(int stackSize) {
  return kIrpHeaderBytes + sizeof(IRP) + static_cast<size_t>(stackSize) * sizeof(IO_STACK_LOCATION);
}

// The stack location of a level (1-based, as Irp->CurrentLocation counts), and its bit in the header's masks.
inline PIO_STACK_LOCATION locationAt(PIRP irp, int level) {
  return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + (level - 1);
}
inline uint64_t levelBit(int level) { return uint64_t{1} << level; }

// An IRP's header; nullptr when `irp` is not an IRP ntsim allocated. Inline:
// every kernel routine that takes an IRP starts here.
inline IrpHeader* headerOf(PIRP irp) {
  if (irp == nullptr) return nullptr;
  auto* h = reinterpret_cast<IrpHeader*>(reinterpret_cast<char*>(irp) - kIrpHeaderBytes);
  return h->magic == IrpHeader::kMagic ? h : nullptr;
}

// Allocation (irp.cpp).
std::string describeIrp(PIRP irp);
// Allocates an IRP the way the I/O manager does; the header starts with one reference.
PIRP allocateIrp(CCHAR stackSize);
void addIrpReference(PIRP irp);
void releaseIrp(PIRP irp);
// The dispatch routine of every MajorFunction entry nobody filled: it fails the request.
PDRIVER_DISPATCH defaultDispatch();

// Dispatch (call_driver.cpp; completion is completion.cpp's IofCompleteRequest).
// The IRP whose dispatch routine this thread is running, innermost first (a bug check names it).
PIRP dispatchingIrp();
// The calling thread's next IofCallDriver comes from PoCallDriver.
void setSendingPower(bool on);

// The originator's side (send_and_wait.cpp).
// Sends an IRP down a stack and waits until its originator completion ran
// (reporting a hang instead of hanging). Returns the final I/O status.
IoResult sendAndWait(PDEVICE_OBJECT target, PIRP irp, bool power);
// The originator completion of an IRP sendAndWait waits for.
void signalDone(PIRP irp);
// The calling thread's next sendAndWait calls `told` once the dispatch routine returned.
void setAfterDispatch(std::function<void()> told);
// Frees the requests nobody completed before the machine goes.
void dropAbandonedIrps(MachineState& s);
// A request refused before any driver saw it, as the program sees it.
IoResult failure(NTSTATUS status);

// System buffers (systembuffer.cpp): `bytes` zero-filled bytes from the
// machine's lookaside lists (or the heap, when large); freed with
// freeSystemBuffer. NULL when memory is out.
void* allocateSystemBuffer(MachineState& s, size_t bytes);
void freeSystemBuffer(MachineState& s, void* buffer);

}  // namespace ntsim
