#include "session.h"

#include "guarded_buffer.h"
#include "sharefiles/common.h"
#include "text/ntstatus_names.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>

namespace pdkit::fuzz {
namespace {

constexpr size_t kMaxHandles = 16;
constexpr auto kHangTimeout = std::chrono::milliseconds(3000);

// The bytes a write or a control request sends: a window into one pattern,
// starting at the operation's fill byte, so that requests with different
// fills send different bytes; pattern byte j is 7j + j/256 (mod 256). Made
// once, for the longest request: a megabyte made per request cost more than
// the request.
std::span<const uint8_t> dataFor(uint8_t fill, size_t length) {
  static const std::vector<uint8_t> pattern = [] {
    std::vector<uint8_t> bytes(std::max<size_t>(kMaxTransfer, kMaxControlBuffer) + 256);
    for (size_t j = 0; j < bytes.size(); ++j) bytes[j] = static_cast<uint8_t>(7 * j + j / 256);
    return bytes;
  }();
  return {pattern.data() + fill, length};
}

// A status as messages show it: its name, or its value when it has none.
std::string statusText(NTSTATUS status) { return pdkit::text::statusName(static_cast<uint32_t>(status)); }

// A 32-bit field read as the number it holds (power states may hold any).
int32_t raw32(const void* field) {
  int32_t value;
  std::memcpy(&value, field, sizeof value);
  return value;
}

}  // namespace

Session::Session(const DriverTraits& traits, ntsim::ModuleImage& image, std::function<void()> beforeRemap)
    : traits_(traits), image_(image), beforeRemap_(std::move(beforeRemap)), model_(traits) {
  machine_.setHangTimeout(kHangTimeout);
}

Session::~Session() = default;

void Session::run(const std::vector<Op>& ops) {
  boot();
  for (const Op& op : ops) {
    done_.push_back(op);
    execute(op);
    settle();
    expectState();
    machine_.clearDebugOutput();
  }
  finish();
}

// ---------------------------------------------------------------- lifecycle

void Session::boot() {
  driver_ = &machine_.load(image_);
  model_.load();
  addDevice({});
  settle();
  expectState();
}

void Session::finish() {
  Op unloadAtEnd;
  unloadAtEnd.kind = OpKind::Unload;
  done_.push_back(unloadAtEnd);
  if (model_.loaded()) unload();
}

void Session::closeAll() {
  while (!handles_.empty()) {
    ntsim::IoResult result = machine_.close(handles_.back());
    handles_.pop_back();
    expectResult(result, model_.close(), "close");
  }
}

void Session::unload() {
  closeAll();
  machine_.unload(*driver_);
  model_.unload();
  node_ = nullptr;
  expectViolations(0);
  if (machine_.poolOutstanding(driver_) != 0) fail("pool left behind at unload");
}

void Session::reload(const FaultScript& faults, bool remap) {
  if (model_.loaded()) unload();
  if (remap) {
    if (beforeRemap_) beforeRemap_();
    image_.remap();
  }
  driver_ = &machine_.load(image_);
  model_.load();
  addDevice(faults);
}

void Session::addDevice(const FaultScript& faults) {
  if (!model_.loaded()) return;
  auto& injected = machine_.faults();
  injected.createDevice = faults.createDevice;
  injected.createDeviceStatus = faults.createDeviceStatus;
  injected.pool = faults.pool;
  injected.poolSkip = faults.poolSkip;
  injected.attach = faults.attach;
  const bool hadDevice = model_.hasDevice();
  ntsim::DeviceNode& node = machine_.addDevice(*driver_);
  // Faults meant for this AddDevice and left unused go with it.
  injected.createDevice = injected.pool = injected.poolSkip = injected.attach = 0;
  NTSTATUS expected = model_.addDevice(faults);
  if (node.addDeviceStatus() != expected) {
    fail("AddDevice returned " + statusText(node.addDeviceStatus()) + ", expected " + statusText(expected));
  }
  if (!NT_SUCCESS(expected)) {
    if (node.fdo() != nullptr) fail("a failed AddDevice left a device attached");
    if (!hadDevice && driver_->object()->DeviceObject != nullptr) fail("a failed AddDevice left a device object");
    return;
  }
  node_ = &node;
  if (node.fdo() == nullptr) fail("AddDevice succeeded but attached nothing");
  announcedBefore_ = machine_.powerStateCalls(node.fdo()).size();
  // The PnP manager starts the device and asks for its capabilities.
  expectResult(machine_.pnp(node, IRP_MN_START_DEVICE), model_.start(), "start");
  expectResult(machine_.queryCapabilities(node), model_.startQuery(), "capability query");
}

void Session::removeAndWait() {
  if (!model_.hasDevice() || model_.removed()) return;
  closeAll();
  PIO_REMOVE_LOCK lock = &extension()->RemoveLock;
  char tag = 0;
  NTSTATUS status = IoAcquireRemoveLockEx(lock, &tag, __FILE__, __LINE__, sizeof(IO_REMOVE_LOCK));
  if (status != STATUS_SUCCESS) fail("the remove lock refused an acquisition before its removal");
  IoReleaseRemoveLockAndWaitEx(lock, &tag, sizeof(IO_REMOVE_LOCK));
  model_.removeAndWait();
}

// ---------------------------------------------------------------- operations

void Session::execute(const Op& op) {
  switch (op.kind) {
    case OpKind::Open: return open(op);
    case OpKind::Close: return close(op);
    case OpKind::Read: return read(op);
    case OpKind::Write: return write(op);
    case OpKind::Control: return control(op);
    case OpKind::Pnp: return pnp(op);
    case OpKind::Power: return power(op);
    case OpKind::SystemPower: return systemPower(op);
    case OpKind::SetBus: return setBus(op);
    case OpKind::Faults: return addFaults(op);
    case OpKind::RemoveAndWait: return removeAndWait();
    case OpKind::Reload: return reload(op.faults, op.remap);
    case OpKind::AddDeviceAgain: return addDevice(op.faults);
    case OpKind::Unload:
      if (model_.loaded()) unload();
      return;
    case OpKind::Count: return;
  }
}

void Session::open(const Op& op) {
  if (!model_.loaded() || handles_.size() >= kMaxHandles) return;
  ntsim::OpenResult opened = machine_.open(pathFor(op.path, traits_));
  Expected expected = model_.open(op.path);
  expectResult(opened.result, expected, "open");
  if (NT_SUCCESS(expected.status)) {
    if (opened.handle == 0) fail("a successful open gave no handle");
    handles_.push_back(opened.handle);
  } else if (opened.handle != 0) {
    fail("a failed open gave a handle");
  }
}

void Session::close(const Op& op) {
  if (handles_.empty()) return;
  size_t index = op.handle % handles_.size();
  ntsim::IoResult result = machine_.close(handles_[index]);
  handles_.erase(handles_.begin() + static_cast<std::ptrdiff_t>(index));
  expectResult(result, model_.close(), "close");
}

void Session::read(const Op& op) {
  if (handles_.empty()) return;
  GuardedBuffer buffer(op.length, op.pageOffset);
  ntsim::IoResult result = machine_.read(pickHandle(op.handle), buffer.data(), op.length, op.byteOffset);
  Expected expected = model_.read(op.length);
  expectResult(result, expected, "read");
  if (!std::equal(expected.reply.begin(), expected.reply.end(), buffer.bytes().begin())) {
    fail("read returned other bytes than the store holds");
  }
  if (!buffer.untouchedFrom(expected.reply.size())) fail("read changed the caller's buffer past the bytes it returned");
  if (!buffer.guardsIntact()) fail("read wrote outside the caller's buffer");
}

void Session::write(const Op& op) {
  if (handles_.empty()) return;
  GuardedBuffer buffer(op.length, op.pageOffset);
  std::span<const uint8_t> data = dataFor(op.fill, op.length);
  buffer.fill(data);
  ntsim::IoResult result = machine_.write(pickHandle(op.handle), buffer.data(), op.length, op.byteOffset);
  expectResult(result, model_.write(data), "write");
  if (!std::equal(data.begin(), data.end(), buffer.bytes().begin())) fail("write changed the caller's data");
  if (!buffer.guardsIntact()) fail("write wrote outside the caller's buffer");
}

void Session::control(const Op& op) {
  if (handles_.empty()) return;
  GuardedBuffer in(op.inLength, 0), out(op.outLength, 0);
  std::span<const uint8_t> data = dataFor(op.fill, op.inLength);
  in.fill(data);
  ntsim::IoResult result =
      machine_.deviceIoControl(pickHandle(op.handle), op.code, op.inLength != 0 ? in.data() : nullptr, op.inLength,
                               op.outLength != 0 ? out.data() : nullptr, op.outLength);
  Expected expected = model_.control(op.code, op.inLength, op.outLength);
  expectResult(result, expected, "control");
  if (!std::equal(expected.reply.begin(), expected.reply.end(), out.bytes().begin())) {
    fail("control replied other bytes than expected");
  }
  if (!out.untouchedFrom(expected.reply.size())) fail("control wrote past its reply");
  if (!out.guardsIntact() || !in.guardsIntact()) fail("control wrote outside the caller's buffers");
  if (!std::equal(data.begin(), data.end(), in.bytes().begin())) fail("control changed the caller's input");
  expectDebugOutput(expected);
}

void Session::pnp(const Op& op) {
  if (!model_.hasDevice()) return;
  auto minor = static_cast<UCHAR>(op.minor);
  if (minor == IRP_MN_REMOVE_DEVICE) {
    // The PnP manager removes a device once: never after its lock was removed, and never with a handle open.
    if (model_.removed()) return;
    closeAll();
  }
  expectResult(machine_.pnp(*node_, minor), model_.pnp(minor), "pnp");
}

void Session::power(const Op& op) {
  if (!model_.hasDevice()) return;
  ntsim::IoResult result =
      machine_.powerIrp(*node_, static_cast<UCHAR>(op.minor), static_cast<POWER_STATE_TYPE>(op.powerType), op.state,
                        static_cast<POWER_ACTION>(op.action));
  expectResult(result, model_.power(op.minor & 0xFF, op.powerType, op.state, op.action), "power");
}

void Session::systemPower(const Op& op) {
  if (!model_.hasDevice()) return;
  ntsim::IoResult result =
      machine_.systemPower(*node_, static_cast<SYSTEM_POWER_STATE>(op.state), static_cast<POWER_ACTION>(op.action));
  expectResult(result, model_.systemPower(op.state, op.action), "system power");
}

void Session::setBus(const Op& op) {
  if (!model_.hasDevice()) return;
  ntsim::BusBehaviour behaviour;
  DeviceModel::Report report = DeviceModel::reportOf(op.bus);
  static_assert(sizeof(DEVICE_CAPABILITIES) == sizeof(report));
  std::memcpy(&behaviour.capabilities, report.data(), report.size());
  behaviour.capabilitiesStatus = op.bus.capabilitiesStatus;
  behaviour.powerStatus = op.bus.powerStatus;
  behaviour.pend = op.bus.pend;
  // A pended request completes as soon as the bus's thread runs, racing the dispatch routine's return.
  behaviour.pendDelay = std::chrono::microseconds(0);
  node_->setBus(behaviour);
  model_.setBus(op.bus);
}

void Session::addFaults(const Op& op) {
  auto& injected = machine_.faults();
  injected.mapping += op.faults.mapping;
  injected.powerRequest += op.faults.powerRequest;
  if (op.faults.powerRequest > 0) injected.powerRequestStatus = op.faults.powerRequestStatus;
  model_.addFaults(op.faults);
}

// ---------------------------------------------------------------- checks

PDEVICE_EXTENSION Session::extension() const { return static_cast<PDEVICE_EXTENSION>(node_->fdo()->DeviceExtension); }

ntsim::Handle Session::pickHandle(uint8_t index) const { return handles_[index % handles_.size()]; }

void Session::expectResult(const ntsim::IoResult& result, const Expected& expected, const char* what) {
  settle();
  if (result.status != expected.status || result.information != expected.information) {
    fail(std::string(what) + " came back with " + statusText(result.status) + "/" + std::to_string(result.information) +
         ", expected " + statusText(expected.status) + "/" + std::to_string(expected.information));
  }
  expectViolations(expected.failedSets);
}

void Session::settle() {
  // The bus may still be finishing requests it completed from its own threads.
  if (!machine_.waitForBusCompletions(kHangTimeout)) fail("the bus's completions never finished");
}

void Session::expectViolations(int failedSets) {
  int sets = 0;
  for (const auto& violation : machine_.violations()) {
    if (violation.rule != "SET_POWER_FAILED") fail("verifier: " + violation.rule + ": " + violation.detail);
    ++sets;
  }
  if (sets != failedSets) {
    fail("verifier reported " + std::to_string(sets) + " failed set-power IRPs, expected " +
         std::to_string(failedSets));
  }
  machine_.clearViolations();
}

void Session::expectDebugOutput(const Expected& expected) {
  std::vector<ntsim::DebugRecord> output = machine_.debugOutput();
  std::vector<std::string> dump = DeviceModel::tableDump(model_.table());
  size_t dumps = 0;
  for (size_t i = 0; i < output.size(); ++i) {
    if (output[i].text.rfind("Support Query Device Capability : ", 0) != 0) continue;
    ++dumps;
    for (size_t line = 0; line < dump.size(); ++line) {
      if (i + line >= output.size() || output[i + line].text != dump[line]) {
        fail("the table dump's line " + std::to_string(line + 1) + " differs from the table");
      }
    }
  }
  if (dumps != (expected.tableDump ? 1u : 0u)) fail("the table was dumped " + std::to_string(dumps) + " times");
}

void Session::expectState() {
  if (!model_.loaded()) return;
  if (!model_.hasDevice()) {
    if (driver_->object()->DeviceObject != nullptr) fail("a device object exists that should not");
    if (machine_.poolOutstanding(driver_) != 0) fail("the driver holds pool without a device");
    return;
  }
  PDEVICE_EXTENSION ext = extension();
  if (traits_.hasStore) {
    if (ext->DataBuffer == nullptr) fail("the store is missing");
    if (std::memcmp(ext->DataBuffer, model_.store().data(), model_.store().size()) != 0) {
      fail("the store differs from the model's");
    }
  } else if (ext->DataBuffer != nullptr) {
    fail("a driver without a data path has a store");
  }
  if (std::memcmp(&ext->DeviceCapabilities, model_.capabilities().data(), model_.capabilities().size()) != 0) {
    fail("the extension's copy of the capabilities differs from the last successful report");
  }
  if (raw32(&ext->SystemPowerState) != model_.systemPowerState()) {
    fail("SystemPowerState is " + std::to_string(raw32(&ext->SystemPowerState)) + ", expected " +
         std::to_string(model_.systemPowerState()));
  }
  if (raw32(&ext->DevicePowerState) != model_.devicePowerState()) {
    fail("DevicePowerState is " + std::to_string(raw32(&ext->DevicePowerState)) + ", expected " +
         std::to_string(model_.devicePowerState()));
  }
  LONG count = machine_.removeLockCount(&ext->RemoveLock);
  if (count != model_.lockCount()) {
    fail("the remove lock counts " + std::to_string(count) + ", expected " + std::to_string(model_.lockCount()));
  }
  size_t holds = machine_.removeLockTags(&ext->RemoveLock).size();
  if (holds != static_cast<size_t>(model_.removed() ? 0 : model_.openHandles())) {
    fail("the remove lock holds " + std::to_string(holds) + " acquisitions with " +
         std::to_string(model_.openHandles()) + " handles open");
  }
  if (machine_.poolOutstanding(driver_) != model_.poolBlocks()) {
    fail("the driver holds " + std::to_string(machine_.poolOutstanding(driver_)) + " pool blocks, expected " +
         std::to_string(model_.poolBlocks()));
  }
  std::vector<ntsim::PowerStateRecord> calls = machine_.powerStateCalls(node_->fdo());
  const auto& announced = model_.announced();
  if (calls.size() - announcedBefore_ != announced.size()) {
    fail("the device announced " + std::to_string(calls.size() - announcedBefore_) + " power states, expected " +
         std::to_string(announced.size()));
  }
  for (size_t i = 0; i < announced.size(); ++i) {
    const auto& call = calls[announcedBefore_ + i];
    if (call.type != DevicePowerState || static_cast<int32_t>(call.state) != announced[i]) {
      fail("announced power state #" + std::to_string(i) + " differs");
    }
  }
  if (node_->busRecords().size() != static_cast<size_t>(model_.busIrps())) {
    fail(std::to_string(node_->busRecords().size()) + " IRPs reached the bus, expected " +
         std::to_string(model_.busIrps()));
  }
}

void Session::fail(const std::string& what) {
  std::fprintf(stderr, "\n==== %.*s: the driver departs from the model ====\n", static_cast<int>(traits_.module.size()),
               traits_.module.data());
  std::fprintf(stderr, "operations:\n");
  for (size_t i = 0; i < done_.size(); ++i) std::fprintf(stderr, "  #%zu %s\n", i, describe(done_[i]).c_str());
  std::fprintf(stderr, "after the last: %s\n", what.c_str());
  std::abort();
}

}  // namespace pdkit::fuzz
