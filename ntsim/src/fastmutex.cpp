// Fast mutexes and the interlocked lists.
//
// A fast mutex raises to APC_LEVEL and is not recursive: its count is 1 when
// free, and a contended acquire waits on the mutex's synchronization event,
// which the release sets when someone waits. The verifier sees one taken
// above APC_LEVEL, taken again by its owner (a deadlock on Windows), or
// released by a thread that does not own it.
//
// The interlocked lists are the plain list routines under the caller's spin
// lock (or, for the singly linked SList, under one of ntsim's).
#include "state.h"

#include "spinlock.h"

#include <pthread.h>

namespace ntsim {
namespace {

PVOID self() { return reinterpret_cast<PVOID>(static_cast<uintptr_t>(pthread_self()) | 1); }

bool checkAcquire(PFAST_MUTEX mutex, const char* routine, bool raising) {
  auto& s = M();
  KIRQL irql = KeGetCurrentIrql();
  if (raising ? irql > APC_LEVEL : irql != APC_LEVEL && irql != PASSIVE_LEVEL) {
    s.report("IRQL_NOT_LESS_OR_EQUAL",
             std::string(routine) + " at IRQL " + std::to_string(irql) + " (fast mutexes need APC_LEVEL or below)");
  }
  if (std::atomic_ref<PVOID>(mutex->Owner).load() == self()) {
    s.report("FAST_MUTEX_RECURSIVE", std::string(routine) + " of fast mutex " +
                                         hex(reinterpret_cast<uintptr_t>(mutex)) +
                                         ", which this thread owns already: it would deadlock");
    return false;
  }
  return true;
}

void take(PFAST_MUTEX mutex) {
  if (InterlockedDecrement(&mutex->Count) != 0) {
    InterlockedIncrement(reinterpret_cast<volatile LONG*>(&mutex->Contention));
    KeWaitForSingleObject(&mutex->Event, Executive, KernelMode, FALSE, nullptr);
  }
  std::atomic_ref<PVOID>(mutex->Owner).store(self());
}

bool give(PFAST_MUTEX mutex, const char* routine) {
  if (std::atomic_ref<PVOID>(mutex->Owner).load() != self()) {
    M().report("FAST_MUTEX_NOT_OWNED", std::string(routine) + " of fast mutex " +
                                           hex(reinterpret_cast<uintptr_t>(mutex)) +
                                           " by a thread that does not own it");
    return false;
  }
  std::atomic_ref<PVOID>(mutex->Owner).store(nullptr);
  if (InterlockedIncrement(&mutex->Count) != 1) KeSetEvent(&mutex->Event, 0, FALSE);
  return true;
}

// SLists are few and short-held: one lock for them all.
SpinLock g_slistLock;

}  // namespace
}  // namespace ntsim

using namespace ntsim;

extern "C" {

void ExAcquireFastMutex(PFAST_MUTEX FastMutex) {
  if (!checkAcquire(FastMutex, "ExAcquireFastMutex", true)) return;
  KIRQL old = KfRaiseIrql(APC_LEVEL);
  take(FastMutex);
  FastMutex->OldIrql = old;
}

void ExReleaseFastMutex(PFAST_MUTEX FastMutex) {
  KIRQL old = static_cast<KIRQL>(FastMutex->OldIrql);
  if (give(FastMutex, "ExReleaseFastMutex")) KfLowerIrql(old);
}

BOOLEAN ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex) {
  KIRQL old = KfRaiseIrql(APC_LEVEL);
  LONG expected = 1;
  if (!std::atomic_ref<LONG>(const_cast<LONG&>(FastMutex->Count)).compare_exchange_strong(expected, 0)) {
    KfLowerIrql(old);
    return FALSE;
  }
  std::atomic_ref<PVOID>(FastMutex->Owner).store(self());
  FastMutex->OldIrql = old;
  return TRUE;
}

void ExAcquireFastMutexUnsafe(PFAST_MUTEX FastMutex) {
  if (checkAcquire(FastMutex, "ExAcquireFastMutexUnsafe", false)) take(FastMutex);
}

void ExReleaseFastMutexUnsafe(PFAST_MUTEX FastMutex) { give(FastMutex, "ExReleaseFastMutexUnsafe"); }

PLIST_ENTRY ExInterlockedInsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry, PKSPIN_LOCK Lock) {
  KIRQL irql;
  KeAcquireSpinLock(Lock, &irql);
  PLIST_ENTRY first = IsListEmpty(ListHead) ? nullptr : ListHead->Flink;
  InsertHeadList(ListHead, ListEntry);
  KeReleaseSpinLock(Lock, irql);
  return first;
}

PLIST_ENTRY ExInterlockedInsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry, PKSPIN_LOCK Lock) {
  KIRQL irql;
  KeAcquireSpinLock(Lock, &irql);
  PLIST_ENTRY last = IsListEmpty(ListHead) ? nullptr : ListHead->Blink;
  InsertTailList(ListHead, ListEntry);
  KeReleaseSpinLock(Lock, irql);
  return last;
}

PLIST_ENTRY ExInterlockedRemoveHeadList(PLIST_ENTRY ListHead, PKSPIN_LOCK Lock) {
  KIRQL irql;
  KeAcquireSpinLock(Lock, &irql);
  PLIST_ENTRY first = IsListEmpty(ListHead) ? nullptr : RemoveHeadList(ListHead);
  KeReleaseSpinLock(Lock, irql);
  return first;
}

PSINGLE_LIST_ENTRY ExInterlockedPushEntryList(PSINGLE_LIST_ENTRY ListHead, PSINGLE_LIST_ENTRY ListEntry,
                                              PKSPIN_LOCK Lock) {
  KIRQL irql;
  KeAcquireSpinLock(Lock, &irql);
  PSINGLE_LIST_ENTRY first = ListHead->Next;
  PushEntryList(ListHead, ListEntry);
  KeReleaseSpinLock(Lock, irql);
  return first;
}

PSINGLE_LIST_ENTRY ExInterlockedPopEntryList(PSINGLE_LIST_ENTRY ListHead, PKSPIN_LOCK Lock) {
  KIRQL irql;
  KeAcquireSpinLock(Lock, &irql);
  PSINGLE_LIST_ENTRY first = PopEntryList(ListHead);
  KeReleaseSpinLock(Lock, irql);
  return first;
}

PSLIST_ENTRY InterlockedPushEntrySList(PSLIST_HEADER ListHead, PSLIST_ENTRY ListEntry) {
  std::lock_guard lock(g_slistLock);
  PSLIST_ENTRY first = ListHead->s.Next;
  ListEntry->Next = first;
  ListHead->s.Next = ListEntry;
  ++ListHead->s.Depth;
  ++ListHead->s.Sequence;
  return first;
}

PSLIST_ENTRY InterlockedPopEntrySList(PSLIST_HEADER ListHead) {
  std::lock_guard lock(g_slistLock);
  PSLIST_ENTRY first = ListHead->s.Next;
  if (first != nullptr) {
    ListHead->s.Next = first->Next;
    --ListHead->s.Depth;
    ++ListHead->s.Sequence;
  }
  return first;
}

PSLIST_ENTRY InterlockedFlushSList(PSLIST_HEADER ListHead) {
  std::lock_guard lock(g_slistLock);
  PSLIST_ENTRY first = ListHead->s.Next;
  ListHead->s.Next = nullptr;
  ListHead->s.Depth = 0;
  return first;
}

USHORT ExQueryDepthSList(PSLIST_HEADER SListHead) {
  std::lock_guard lock(g_slistLock);
  return SListHead->s.Depth;
}

}  // extern "C"
