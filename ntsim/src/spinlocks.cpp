// Spin locks in all their forms, the cancel spin lock, IoCancelIrp and the
// cancel-safe queue.
//
// A held lock's word records its holder, so that the verifier sees a thread
// take a lock it already holds (SPIN_LOCK_ALREADY_OWNED, bug check 0xF) or
// release one it does not (SPIN_LOCK_NOT_OWNED, 0x10), a DPC-level form used
// below DISPATCH_LEVEL (IRQL_NOT_GREATER_OR_EQUAL, 0x9), a raising form used
// above it (IRQL_NOT_LESS_OR_EQUAL, 0xA), and a cancel routine that returns
// still holding the cancel spin lock (CANCEL_SPIN_LOCK_NOT_RELEASED).
#include "irp.h"
#include "state.h"

#include <pthread.h>

#include <thread>

namespace ntsim {
namespace {

KSPIN_LOCK g_cancelLock = 0;

ULONG_PTR self() { return static_cast<ULONG_PTR>(pthread_self()) | 1; }

std::atomic_ref<ULONG_PTR> word(PKSPIN_LOCK lock) { return std::atomic_ref<ULONG_PTR>(*lock); }

void take(PKSPIN_LOCK lock, const char* routine) {
  ULONG_PTR me = self();
  if (word(lock).load(std::memory_order_relaxed) == me) {
    M().report("SPIN_LOCK_ALREADY_OWNED", std::string(routine) + " of spin lock " +
                                              hex(reinterpret_cast<uintptr_t>(lock)) +
                                              ", which this thread holds already (bug check 0xF)");
    return;  // waiting would hang for good
  }
  for (int spins = 0;; ++spins) {
    ULONG_PTR expected = 0;
    if (word(lock).compare_exchange_weak(expected, me, std::memory_order_acquire)) return;
    if (spins > 64) std::this_thread::yield();
  }
}

void give(PKSPIN_LOCK lock, const char* routine) {
  if (word(lock).load(std::memory_order_relaxed) != self()) {
    M().report("SPIN_LOCK_NOT_OWNED", std::string(routine) + " of spin lock " + hex(reinterpret_cast<uintptr_t>(lock)) +
                                          ", which this thread does not hold (bug check 0x10)");
    return;
  }
  word(lock).store(0, std::memory_order_release);
}

void requireAtLeastDispatch(const char* routine) {
  if (KeGetCurrentIrql() < DISPATCH_LEVEL) {
    M().report("IRQL_NOT_GREATER_OR_EQUAL", std::string(routine) + " at IRQL " + std::to_string(KeGetCurrentIrql()) +
                                                ", below DISPATCH_LEVEL (bug check 0x9)");
  }
}

void requireAtMostDispatch(const char* routine) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
    M().report("IRQL_NOT_LESS_OR_EQUAL", std::string(routine) + " at IRQL " + std::to_string(KeGetCurrentIrql()) +
                                             ", above DISPATCH_LEVEL (bug check 0xA)");
  }
}

bool cancelLockHeldByMe() { return word(&g_cancelLock).load(std::memory_order_relaxed) == self(); }

}  // namespace

}  // namespace ntsim

using namespace ntsim;

extern "C" {

void KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { *SpinLock = 0; }

void KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql) {
  requireAtMostDispatch("KeAcquireSpinLock");
  *OldIrql = KfRaiseIrql(DISPATCH_LEVEL);
  take(SpinLock, "KeAcquireSpinLock");
}

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
  KIRQL old;
  KeAcquireSpinLock(SpinLock, &old);
  return old;
}

void KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  give(SpinLock, "KeReleaseSpinLock");
  KfLowerIrql(NewIrql);
}

void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  requireAtLeastDispatch("KeAcquireSpinLockAtDpcLevel");
  take(SpinLock, "KeAcquireSpinLockAtDpcLevel");
}

void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
  requireAtLeastDispatch("KeReleaseSpinLockFromDpcLevel");
  give(SpinLock, "KeReleaseSpinLockFromDpcLevel");
}

BOOLEAN KeTryToAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  requireAtLeastDispatch("KeTryToAcquireSpinLockAtDpcLevel");
  ULONG_PTR expected = 0;
  return word(SpinLock).compare_exchange_strong(expected, self(), std::memory_order_acquire) ? TRUE : FALSE;
}

void KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle) {
  LockHandle->LockQueue.Lock = SpinLock;
  LockHandle->LockQueue.Next = nullptr;
  KeAcquireSpinLock(SpinLock, &LockHandle->OldIrql);
}

void KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE LockHandle) {
  KeReleaseSpinLock(LockHandle->LockQueue.Lock, LockHandle->OldIrql);
}

void KeAcquireInStackQueuedSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle) {
  LockHandle->LockQueue.Lock = SpinLock;
  LockHandle->LockQueue.Next = nullptr;
  KeAcquireSpinLockAtDpcLevel(SpinLock);
}

void KeReleaseInStackQueuedSpinLockFromDpcLevel(PKLOCK_QUEUE_HANDLE LockHandle) {
  KeReleaseSpinLockFromDpcLevel(LockHandle->LockQueue.Lock);
}

void IoAcquireCancelSpinLock(PKIRQL Irql) { KeAcquireSpinLock(&g_cancelLock, Irql); }

void IoReleaseCancelSpinLock(KIRQL Irql) { KeReleaseSpinLock(&g_cancelLock, Irql); }

BOOLEAN IoCancelIrp(PIRP Irp) {
  auto& s = M();
  if (headerOf(Irp) == nullptr) {
    s.report("BAD_ARGUMENT", "IoCancelIrp with " + describeIrp(Irp) + ", which is not an IRP");
    return FALSE;
  }
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  // Cancel is read without a lock by whoever sets a cancel routine: it is
  // published before the routine is taken, as the kernel's barriers do.
  std::atomic_ref<BOOLEAN>(Irp->Cancel).store(TRUE);
  PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
  if (routine == nullptr) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  Irp->CancelIrql = irql;
  // The routine runs for the driver whose location is current (none before the IRP was sent), and
  // releases the lock itself.
  PDEVICE_OBJECT device =
      Irp->CurrentLocation <= Irp->StackCount ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject : nullptr;
  routine(device, Irp);
  if (cancelLockHeldByMe()) {
    s.report("CANCEL_SPIN_LOCK_NOT_RELEASED", "cancel routine " + hex(reinterpret_cast<uintptr_t>(routine)) +
                                                  " returned holding the cancel spin lock (IRP " + describeIrp(Irp) +
                                                  ")");
    IoReleaseCancelSpinLock(irql);
  }
  return TRUE;
}

}  // extern "C"

// ---------------------------------------------------------- cancel-safe queue

namespace ntsim {
namespace {

// Where the queue keeps its link from an IRP: the context when the driver
// gave one, else the queue itself; both start with their Type.
PVOID& queueSlot(PIRP irp) { return irp->Tail.Overlay.DriverContext[3]; }

PIO_CSQ queueOf(PVOID slot) {
  auto* context = static_cast<PIO_CSQ_IRP_CONTEXT>(slot);
  return context->Type == IO_TYPE_CSQ_IRP_CONTEXT ? context->Csq : static_cast<PIO_CSQ>(slot);
}

// The IRP leaves the queue's bookkeeping: its context forgets it.
void forget(PIRP irp) {
  auto* context = static_cast<PIO_CSQ_IRP_CONTEXT>(queueSlot(irp));
  if (context != nullptr && context->Type == IO_TYPE_CSQ_IRP_CONTEXT) context->Irp = nullptr;
  queueSlot(irp) = nullptr;
}

void csqCancel(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  PIO_CSQ csq = queueOf(queueSlot(irp));
  KIRQL irql;
  csq->CsqAcquireLock(csq, &irql);
  csq->CsqRemoveIrp(csq, irp);
  forget(irp);
  csq->CsqReleaseLock(csq, irql);
  csq->CsqCompleteCanceledIrp(csq, irp);
}

NTSTATUS initialise(PIO_CSQ csq, ULONG type, void* insert, PIO_CSQ_REMOVE_IRP remove, PIO_CSQ_PEEK_NEXT_IRP peek,
                    PIO_CSQ_ACQUIRE_LOCK acquire, PIO_CSQ_RELEASE_LOCK release,
                    PIO_CSQ_COMPLETE_CANCELED_IRP complete) {
  if (csq == nullptr || insert == nullptr || remove == nullptr || peek == nullptr || acquire == nullptr ||
      release == nullptr || complete == nullptr) {
    M().report("BAD_ARGUMENT", "IoCsqInitialize with a NULL queue or routine");
    return STATUS_INVALID_PARAMETER;
  }
  csq->Type = type;
  csq->CsqInsertIrp = reinterpret_cast<PIO_CSQ_INSERT_IRP>(insert);
  csq->CsqRemoveIrp = remove;
  csq->CsqPeekNextIrp = peek;
  csq->CsqAcquireLock = acquire;
  csq->CsqReleaseLock = release;
  csq->CsqCompleteCanceledIrp = complete;
  csq->ReservePointer = nullptr;
  return STATUS_SUCCESS;
}

}  // namespace
}  // namespace ntsim

extern "C" {

NTSTATUS IoCsqInitialize(PIO_CSQ Csq, PIO_CSQ_INSERT_IRP CsqInsertIrp, PIO_CSQ_REMOVE_IRP CsqRemoveIrp,
                         PIO_CSQ_PEEK_NEXT_IRP CsqPeekNextIrp, PIO_CSQ_ACQUIRE_LOCK CsqAcquireLock,
                         PIO_CSQ_RELEASE_LOCK CsqReleaseLock, PIO_CSQ_COMPLETE_CANCELED_IRP CsqCompleteCanceledIrp) {
  return initialise(Csq, IO_TYPE_CSQ, reinterpret_cast<void*>(CsqInsertIrp), CsqRemoveIrp, CsqPeekNextIrp,
                    CsqAcquireLock, CsqReleaseLock, CsqCompleteCanceledIrp);
}

NTSTATUS IoCsqInitializeEx(PIO_CSQ Csq, PIO_CSQ_INSERT_IRP_EX CsqInsertIrp, PIO_CSQ_REMOVE_IRP CsqRemoveIrp,
                           PIO_CSQ_PEEK_NEXT_IRP CsqPeekNextIrp, PIO_CSQ_ACQUIRE_LOCK CsqAcquireLock,
                           PIO_CSQ_RELEASE_LOCK CsqReleaseLock, PIO_CSQ_COMPLETE_CANCELED_IRP CsqCompleteCanceledIrp) {
  return initialise(Csq, IO_TYPE_CSQ_EX, reinterpret_cast<void*>(CsqInsertIrp), CsqRemoveIrp, CsqPeekNextIrp,
                    CsqAcquireLock, CsqReleaseLock, CsqCompleteCanceledIrp);
}

NTSTATUS IoCsqInsertIrpEx(PIO_CSQ Csq, PIRP Irp, PIO_CSQ_IRP_CONTEXT Context, PVOID InsertContext) {
  KIRQL irql;
  Csq->CsqAcquireLock(Csq, &irql);
  NTSTATUS status = STATUS_SUCCESS;
  if (Csq->Type == IO_TYPE_CSQ_EX) {
    // The queue holds either form in one slot, as the kernel's does.
    status =
        reinterpret_cast<PIO_CSQ_INSERT_IRP_EX>(reinterpret_cast<void*>(Csq->CsqInsertIrp))(Csq, Irp, InsertContext);
  } else {
    Csq->CsqInsertIrp(Csq, Irp);
  }
  if (!NT_SUCCESS(status)) {
    Csq->CsqReleaseLock(Csq, irql);
    return status;
  }
  if (Context != nullptr) {
    Context->Type = IO_TYPE_CSQ_IRP_CONTEXT;
    Context->Irp = Irp;
    Context->Csq = Csq;
    queueSlot(Irp) = Context;
  } else {
    queueSlot(Irp) = Csq;
  }
  IoMarkIrpPending(Irp);
  IoSetCancelRoutine(Irp, csqCancel);
  if (std::atomic_ref<BOOLEAN>(Irp->Cancel).load() && IoSetCancelRoutine(Irp, nullptr) != nullptr) {
    // Cancelled before the routine was set: it never runs, so the IRP goes now.
    Csq->CsqRemoveIrp(Csq, Irp);
    forget(Irp);
    Csq->CsqReleaseLock(Csq, irql);
    Csq->CsqCompleteCanceledIrp(Csq, Irp);
    return status;
  }
  Csq->CsqReleaseLock(Csq, irql);
  return status;
}

void IoCsqInsertIrp(PIO_CSQ Csq, PIRP Irp, PIO_CSQ_IRP_CONTEXT Context) {
  IoCsqInsertIrpEx(Csq, Irp, Context, nullptr);
}

PIRP IoCsqRemoveIrp(PIO_CSQ Csq, PIO_CSQ_IRP_CONTEXT Context) {
  KIRQL irql;
  Csq->CsqAcquireLock(Csq, &irql);
  PIRP irp = Context->Irp;
  if (irp != nullptr) {
    if (IoSetCancelRoutine(irp, nullptr) != nullptr) {
      Csq->CsqRemoveIrp(Csq, irp);
      forget(irp);
    } else {
      irp = nullptr;  // being cancelled: the cancel routine removes and completes it
    }
  }
  Csq->CsqReleaseLock(Csq, irql);
  return irp;
}

PIRP IoCsqRemoveNextIrp(PIO_CSQ Csq, PVOID PeekContext) {
  KIRQL irql;
  Csq->CsqAcquireLock(Csq, &irql);
  PIRP irp = Csq->CsqPeekNextIrp(Csq, nullptr, PeekContext);
  while (irp != nullptr) {
    if (IoSetCancelRoutine(irp, nullptr) != nullptr) {
      Csq->CsqRemoveIrp(Csq, irp);
      forget(irp);
      break;
    }
    irp = Csq->CsqPeekNextIrp(Csq, irp, PeekContext);  // skip one being cancelled
  }
  Csq->CsqReleaseLock(Csq, irql);
  return irp;
}

}  // extern "C"
