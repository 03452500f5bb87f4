// The kernel-call floor of a request: the least an implementation pays on
// this kernel, ntsim with its verifier, rather than on bare hardware. A
// minimal dispatch routine makes the kernel calls every implementation of
// the same request makes (the remove lock taken and given back, the MDL
// mapped for direct I/O, the store's mutex around the copy of a transfer,
// as many trace lines as the driver prints, each with one %d, the request
// completed) around the one copy, and nothing else. Set up on the
// benchmark's machine; one at a time.
#pragma once

#include "prepared_request.h"

#include <cstring>

namespace pdbench {

class KernelFloor {
 public:
  // `moved` bytes copied and `traces` lines printed per request, as the driver did.
  KernelFloor(Op op, size_t moved, size_t traces) : op_(op), moved_(moved), traces_(traces) {
    IoInitializeRemoveLock(&lock_, 0x666C724B /* "Krlf" */, 0, 0);
    KeInitializeMutex(&mutex_, 0);
    current_ = this;
  }
  ~KernelFloor() { current_ = nullptr; }
  KernelFloor(const KernelFloor&) = delete;
  KernelFloor& operator=(const KernelFloor&) = delete;

  static NTSTATUS dispatch(PDEVICE_OBJECT device, PIRP irp) { return current_->serve(device, irp); }

 private:
  NTSTATUS serve(PDEVICE_OBJECT, PIRP irp) {
    if (!NT_SUCCESS(IoAcquireRemoveLock(&lock_, irp))) return STATUS_DELETE_PENDING;
    PVOID caller = irp->MdlAddress != nullptr ? MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority)
                                              : irp->AssociatedIrp.SystemBuffer;
    if (op_ == Op::Control) {
      std::memcpy(caller, store_, moved_);
    } else {
      KeWaitForSingleObject(&mutex_, Executive, KernelMode, FALSE, nullptr);
      if (op_ == Op::Read) {
        std::memcpy(caller, store_, moved_);
      } else {
        std::memcpy(store_, caller, moved_);
        std::memset(store_ + moved_, 0, sizeof store_ - moved_);
      }
      KeReleaseMutex(&mutex_, FALSE);
    }
    for (size_t i = 0; i < traces_; ++i) DbgPrint("Output Buffer Length : %d\r\n", static_cast<int>(moved_));
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = moved_;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    IoReleaseRemoveLock(&lock_, irp);
    return STATUS_SUCCESS;
  }

  static inline KernelFloor* current_ = nullptr;
  Op op_;
  size_t moved_;
  size_t traces_;
  IO_REMOVE_LOCK lock_;
  KMUTEX mutex_;
  UCHAR store_[DATA_BUFFER_SIZE] = {};
};

}  // namespace pdbench
