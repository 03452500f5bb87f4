// A read, write or device-control request the benchmark owns and hands
// straight to the driver's dispatch routine, as the I/O manager would after
// IoCallDriver: allocated once with IoAllocateIrp and made new with
// IoReuseIrp before every call. Completion leaves such an IRP with its
// owner, so one IRP serves every iteration.
#pragma once

#include "booted_driver.h"

#include "sharefiles/pdioctl.h"

#include <cstdint>
#include <vector>

namespace pdbench {

enum class Op { Read, Write, Control };

inline const char* opName(Op op) { return op == Op::Read ? "read" : op == Op::Write ? "write" : "control"; }

class PreparedRequest {
 public:
  // A transfer of `bytes` (for device control: the description asked for
  // with an output buffer of `bytes`), shaped for the driver's device and
  // handed to its dispatch routine, or to `dispatch` instead when given.
  PreparedRequest(const BootedDriver& booted, Op op, ULONG bytes, PDRIVER_DISPATCH dispatch = nullptr)
      : op_(op), bytes_(bytes), device_(booted.fdo()), caller_(bytes, 0x5A), system_(bytes) {
    major_ = op == Op::Read ? IRP_MJ_READ : op == Op::Write ? IRP_MJ_WRITE : IRP_MJ_DEVICE_CONTROL;
    dispatch_ = dispatch != nullptr ? dispatch : booted.dispatch(major_);
    direct_ = op != Op::Control && (device_->Flags & DO_DIRECT_IO) != 0;
    irp_ = IoAllocateIrp(device_->StackSize, FALSE);
    if (direct_) {
      mdl_ = IoAllocateMdl(caller_.data(), bytes, FALSE, FALSE, nullptr);
      mdl_->MdlFlags = static_cast<CSHORT>(mdl_->MdlFlags | MDL_PAGES_LOCKED);
    }
  }
  PreparedRequest(const PreparedRequest&) = delete;
  PreparedRequest& operator=(const PreparedRequest&) = delete;
  ~PreparedRequest() {
    if (mdl_ != nullptr) IoFreeMdl(mdl_);
    IoFreeIrp(irp_);
  }

  // Resets the IRP, fills in the driver's stack location and calls the
  // dispatch routine; returns what it returned.
  NTSTATUS send() {
    IoReuseIrp(irp_, STATUS_SUCCESS);
    PIO_STACK_LOCATION location = IoGetNextIrpStackLocation(irp_);
    location->MajorFunction = major_;
    switch (op_) {
      case Op::Read: location->Parameters.Read.Length = bytes_; break;
      case Op::Write: location->Parameters.Write.Length = bytes_; break;
      case Op::Control:
        location->Parameters.DeviceIoControl.IoControlCode = IOCTL_GET_DESCRIPTION;
        location->Parameters.DeviceIoControl.OutputBufferLength = bytes_;
        break;
    }
    if (direct_) {
      // A new request's MDL is not mapped yet: the driver maps it every time.
      mdl_->MdlFlags = static_cast<CSHORT>(mdl_->MdlFlags & ~MDL_MAPPED_TO_SYSTEM_VA);
      mdl_->MappedSystemVa = nullptr;
      irp_->MdlAddress = mdl_;
    } else {
      irp_->AssociatedIrp.SystemBuffer = system_.data();
      irp_->Flags = IRP_BUFFERED_IO | (op_ != Op::Write ? IRP_INPUT_OPERATION : 0);
    }
    IoSetNextIrpStackLocation(irp_);
    location->DeviceObject = device_;
    return dispatch_(device_, irp_);
  }

  ULONG_PTR information() const { return irp_->IoStatus.Information; }
  NTSTATUS status() const { return irp_->IoStatus.Status; }

 private:
  Op op_;
  ULONG bytes_;
  PDEVICE_OBJECT device_;
  std::vector<uint8_t> caller_;  // the caller's buffer, described by the MDL
  std::vector<uint8_t> system_;  // the system buffer of a buffered request
  UCHAR major_ = 0;
  PDRIVER_DISPATCH dispatch_ = nullptr;
  bool direct_ = false;
  PIRP irp_ = nullptr;
  PMDL mdl_ = nullptr;
};

}  // namespace pdbench
