// The kernel's own threads as drivers meet them: the clock that expires
// timers and runs DPCs at DISPATCH_LEVEL (one thread, as one processor),
// the system worker threads that run work items at PASSIVE_LEVEL, and the
// system threads drivers create, with the kernel handles that name them.
#pragma once

#include <ntsim/ntsim.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

// A thread object: a dispatcher object signalled when the thread ends.
struct _KTHREAD {
  DISPATCHER_HEADER Header{};
  std::atomic<int> references{1};
  const void* startRoutine = nullptr;
  bool system = false;
};

struct _IO_WORKITEM {
  PDEVICE_OBJECT device = nullptr;
  PIO_WORKITEM_ROUTINE routine = nullptr;
  PVOID context = nullptr;
  bool queued = false;
};

namespace ntsim {

struct MachineState;

class Workers {
 public:
  std::mutex mutex;  // guards everything below; taken before the machine's wait mutex
  std::condition_variable clockCv, workCv, idleCv;
  bool stopping = false;

  std::multimap<LONGLONG, PKTIMER> timers;  // by due interrupt time (100 ns)
  std::deque<PKDPC> dpcs;
  int dpcsRunning = 0;
  std::thread clock;

  std::deque<PIO_WORKITEM> work;
  std::set<PIO_WORKITEM> items;  // allocated and not freed
  int idleWorkers = 0;
  int workRunning = 0;
  std::vector<std::thread> workerThreads;

  std::map<HANDLE, PKTHREAD> handles;
  std::set<PKTHREAD> threads;  // system thread objects not yet freed
  uintptr_t lastHandle = 0;
  int systemThreadsRunning = 0;
};

// At a driver's unload: its timers, DPCs and work items still pending and
// its system threads still running are reported (bug check 0xCE) and dropped.
void checkPendingOperations(MachineState& s, const Driver& driver);
// Pool about to be freed: a timer or DPC still set inside it is reported (0xC7).
void checkFreedMemory(MachineState& s, const void* block, size_t bytes);
// The machine goes: the clock and the workers stop.
void stopWorkers(MachineState& s);
// Thread objects for ObfDereferenceObject; true when `object` was one.
bool dereferenceThread(MachineState& s, PVOID object);

}  // namespace ntsim
