// A lower filter for power tests: an in-process driver between the driver
// under test and the root bus. It passes every IRP on, as a filter does; a
// rule for a power IRP of a given minor code and type makes it change the
// IRP's answer on the way back up (a status and information of the test's
// choosing, such as a device query failed while the system query
// succeeded), or hold the IRP, once the bus has seen it, until the test
// completes it from another thread at DISPATCH_LEVEL.
#pragma once

#include <ntsim/ntsim.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace pdkit::test::power {

class LowerFilter {
 public:
  struct Rule {
    UCHAR minor;
    POWER_STATE_TYPE type;
    NTSTATUS status = STATUS_SUCCESS;  // what the filter completes the IRP with
    ULONG_PTR information = 0;
    bool hold = false;  // keep it pending until completeHeld()
  };

  LowerFilter() = default;
  LowerFilter(const LowerFilter&) = delete;
  LowerFilter& operator=(const LowerFilter&) = delete;

  bool attached() const { return device_ != nullptr; }
  PDEVICE_OBJECT device() const { return device_; }

  void attach(ntsim::Machine& machine, PDEVICE_OBJECT pdo) {
    PDRIVER_OBJECT driver = machine.createDriverObject();
    driver->MajorFunction[IRP_MJ_POWER] = &LowerFilter::dispatchPower;
    driver->MajorFunction[IRP_MJ_PNP] = &LowerFilter::dispatchPnp;
    PDEVICE_OBJECT device = nullptr;
    if (!NT_SUCCESS(IoCreateDevice(driver, sizeof(LowerFilter*), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device)))
      return;
    *static_cast<LowerFilter**>(device->DeviceExtension) = this;
    lower_ = IoAttachDeviceToDeviceStack(device, pdo);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    pdo_ = pdo;
    device_ = device;
  }

  // The driver above must be gone (unloaded) first.
  void detach() {
    if (device_ == nullptr) return;
    IoDetachDevice(pdo_);
    IoDeleteDevice(device_);
    device_ = nullptr;
  }

  void addRule(const Rule& rule) {
    std::lock_guard lock(mutex_);
    rules_.push_back(rule);
  }

  void clearRules() {
    std::lock_guard lock(mutex_);
    rules_.clear();
  }

  // Waits until the filter holds n IRPs.
  bool waitHeld(size_t n, std::chrono::milliseconds timeout = std::chrono::milliseconds(10000)) {
    std::unique_lock lock(mutex_);
    return heldCv_.wait_for(lock, timeout, [&] { return held_.size() >= n; });
  }

  // Completes the oldest held IRP from a thread of its own at DISPATCH_LEVEL,
  // as an interrupt-driven lower driver would, and waits for that thread.
  void completeHeld() {
    PIRP irp;
    Rule rule;
    {
      std::lock_guard lock(mutex_);
      if (held_.empty()) return;
      irp = held_.front().first;
      rule = held_.front().second;
      held_.pop_front();
    }
    std::thread([irp, rule] {
      KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
      finish(irp, rule);
      KfLowerIrql(old);
    }).join();
  }

 private:
  static LowerFilter* self(PDEVICE_OBJECT device) { return *static_cast<LowerFilter**>(device->DeviceExtension); }

  static bool startsNext(PIO_STACK_LOCATION location) {
    return location->MinorFunction == IRP_MN_SET_POWER || location->MinorFunction == IRP_MN_QUERY_POWER;
  }

  static void finish(PIRP irp, const Rule& rule) {
    irp->IoStatus.Status = rule.status;
    irp->IoStatus.Information = rule.information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }

  struct Context {
    LowerFilter* filter;
    Rule rule;
  };

  // On the way up: a held IRP stays with the filter until completeHeld(); any
  // other gets the rule's answer.
  static NTSTATUS onWayUp(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* c = static_cast<Context*>(context);
    LowerFilter* filter = c->filter;
    Rule rule = c->rule;
    delete c;
    if (rule.hold) {
      std::lock_guard lock(filter->mutex_);
      filter->held_.emplace_back(irp, rule);
      filter->heldCv_.notify_all();
      return STATUS_MORE_PROCESSING_REQUIRED;
    }
    irp->IoStatus.Status = rule.status;
    irp->IoStatus.Information = rule.information;
    return STATUS_SUCCESS;
  }

  static NTSTATUS dispatchPower(PDEVICE_OBJECT device, PIRP irp) {
    LowerFilter* filter = self(device);
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    Rule rule{};
    bool matched = false;
    {
      std::lock_guard lock(filter->mutex_);
      for (const Rule& candidate : filter->rules_) {
        if (candidate.minor == location->MinorFunction && candidate.type == location->Parameters.Power.Type) {
          rule = candidate;
          matched = true;
          break;
        }
      }
    }
    if (startsNext(location)) PoStartNextPowerIrp(irp);
    if (!matched) {
      IoSkipCurrentIrpStackLocation(irp);
      return PoCallDriver(filter->lower_, irp);
    }
    // The answer changes on the way up, so the caller learns it from the IRP: pending.
    IoMarkIrpPending(irp);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, &LowerFilter::onWayUp, new Context{filter, rule}, TRUE, TRUE, TRUE);
    PoCallDriver(filter->lower_, irp);
    return STATUS_PENDING;
  }

  static NTSTATUS dispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(self(device)->lower_, irp);
  }

  PDEVICE_OBJECT device_ = nullptr;
  PDEVICE_OBJECT lower_ = nullptr;
  PDEVICE_OBJECT pdo_ = nullptr;
  std::mutex mutex_;
  std::condition_variable heldCv_;
  std::vector<Rule> rules_;
  std::deque<std::pair<PIRP, Rule>> held_;
};

}  // namespace pdkit::test::power
