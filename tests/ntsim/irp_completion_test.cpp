// IofCompleteRequest's stack walk: which completion routines run, in which
// order, with which device object, and how PendingReturned travels upward.
#include "inproc.h"

#include <optional>
#include <thread>

namespace pdkit::test {
namespace {

// What a layer's dispatch routine does with the request.
enum class Down { Routine, CopyNoRoutine, Skip, Complete, Pend };
// What the layer's completion routine does once the lower layers are done.
enum class OnDone { Propagate, Forget, MoreProcessing, CompleteInsideThenMore, CompleteInsideThenSuccess };

struct Layer {
  char name = '?';
  Down down = Down::Routine;
  BOOLEAN onSuccess = TRUE, onError = TRUE, onCancel = TRUE;
  OnDone onDone = OnDone::Propagate;
  NTSTATUS completeWith = STATUS_SUCCESS;  // Complete
  bool setCancel = false;                  // Complete: Irp->Cancel first
  std::optional<NTSTATUS> rewrite;         // the completion routine stores this status
  PDEVICE_OBJECT device = nullptr;
  PDEVICE_OBJECT lower = nullptr;
  PIRP held = nullptr;  // Pend and MoreProcessing keep the IRP here
};

// One completion routine call as the routine saw it.
struct Call {
  char layer;
  PDEVICE_OBJECT device;
  BOOLEAN pendingReturned;
  NTSTATUS status;
  int currentLocation;
  bool finishedLocationCleared;
};

std::mutex g_mutex;
std::vector<Call> g_calls;

void record(char layer, PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION finished = IoGetCurrentIrpStackLocation(irp) - 1;
  std::lock_guard lock(g_mutex);
  g_calls.push_back({layer, device, irp->PendingReturned, irp->IoStatus.Status, irp->CurrentLocation,
                     finished->CompletionRoutine == nullptr && finished->Context == nullptr && finished->Control == 0});
}

NTSTATUS layerCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  auto* layer = static_cast<Layer*>(context);
  record(layer->name, device, irp);
  if (layer->rewrite) irp->IoStatus.Status = *layer->rewrite;
  switch (layer->onDone) {
    case OnDone::Propagate:
      if (irp->PendingReturned) IoMarkIrpPending(irp);
      return STATUS_SUCCESS;
    case OnDone::Forget: return STATUS_SUCCESS;
    case OnDone::MoreProcessing: layer->held = irp; return STATUS_MORE_PROCESSING_REQUIRED;
    case OnDone::CompleteInsideThenMore:
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return STATUS_MORE_PROCESSING_REQUIRED;
    case OnDone::CompleteInsideThenSuccess: IoCompleteRequest(irp, IO_NO_INCREMENT); return STATUS_SUCCESS;
  }
  return STATUS_SUCCESS;
}

NTSTATUS layerDispatch(PDEVICE_OBJECT device, PIRP irp) {
  auto* layer = contextOf<Layer>(device);
  switch (layer->down) {
    case Down::Routine:
      IoCopyCurrentIrpStackLocationToNext(irp);
      IoSetCompletionRoutine(irp, layerCompletion, layer, layer->onSuccess, layer->onError, layer->onCancel);
      {
        // Completed at once: return the status the IRP ended with here, which
        // a routine below may have changed (the originator keeps the IRP).
        NTSTATUS status = IoCallDriver(layer->lower, irp);
        return status == STATUS_PENDING ? status : irp->IoStatus.Status;
      }
    case Down::CopyNoRoutine: IoCopyCurrentIrpStackLocationToNext(irp); return IoCallDriver(layer->lower, irp);
    case Down::Skip: IoSkipCurrentIrpStackLocation(irp); return IoCallDriver(layer->lower, irp);
    case Down::Complete:
      if (layer->setCancel) irp->Cancel = TRUE;
      irp->IoStatus.Status = layer->completeWith;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return layer->completeWith;
    case Down::Pend:
      IoMarkIrpPending(irp);
      layer->held = irp;
      return STATUS_PENDING;
  }
  return STATUS_UNSUCCESSFUL;
}

// The originator's own routine (it kept no stack location): it takes the IRP back.
NTSTATUS originatorCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  record('O', device, irp);
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

class IrpCompletionTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    g_calls.clear();
    driver = machine->createDriverObject();
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = layerDispatch;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
  }

  // Stacks the layers, the first on top; the last one is the bottom device.
  void stack(std::vector<Layer> configured) {
    layers = std::move(configured);
    PDEVICE_OBJECT below = nullptr;
    for (auto it = layers.rbegin(); it != layers.rend(); ++it) {
      it->device = makeDevice(driver, &*it, nullptr, below);
      it->lower = below;
      below = it->device;
    }
  }

  Layer& layer(char name) {
    for (auto& l : layers) {
      if (l.name == name) return l;
    }
    throw std::logic_error("no such layer");
  }

  PDEVICE_OBJECT top() { return layers.front().device; }

  // Sends a new IRP to the top of the stack as a driver does, keeping no location of its own.
  NTSTATUS send() {
    irp = IoAllocateIrp(top()->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, originatorCompletion, &done, TRUE, TRUE, TRUE);
    return IoCallDriver(top(), irp);
  }

  // Completes a held IRP from another thread at DISPATCH_LEVEL, as a device would.
  void completeLater(PIRP held, NTSTATUS status) {
    std::thread([held, status] {
      KIRQL old;
      KeRaiseIrql(DISPATCH_LEVEL, &old);
      held->IoStatus.Status = status;
      IoCompleteRequest(held, IO_NO_INCREMENT);
      KeLowerIrql(old);
    }).join();
  }

  std::string order() const {
    std::string names;
    for (const auto& call : g_calls) names.push_back(call.layer);
    return names;
  }

  const Call& callOf(char name) const {
    for (const auto& call : g_calls) {
      if (call.layer == name) return call;
    }
    throw std::logic_error(std::string("layer ") + name + " was not called");
  }

  void TearDown() override {
    if (irp != nullptr) IoFreeIrp(irp);
    MachineTest::TearDown();
  }

  PDRIVER_OBJECT driver = nullptr;
  std::vector<Layer> layers;
  KEVENT done;
  PIRP irp = nullptr;
};

TEST_F(IrpCompletionTest, RoutinesRunBottomUpEachWithTheDeviceThatSetIt) {
  stack({{.name = 'A'}, {.name = 'B'}, {.name = 'C', .down = Down::Complete}});
  EXPECT_EQ(send(), STATUS_SUCCESS);
  ASSERT_EQ(order(), "BAO");
  // During each routine the current location is that of the driver that set it.
  EXPECT_EQ(callOf('B').device, layer('B').device);
  EXPECT_EQ(callOf('B').currentLocation, 2);
  EXPECT_EQ(callOf('A').device, layer('A').device);
  EXPECT_EQ(callOf('A').currentLocation, 3);
  // The originator kept no stack location: its routine gets no device object.
  EXPECT_EQ(callOf('O').device, nullptr);
  EXPECT_EQ(callOf('O').currentLocation, 4);
  for (const auto& call : g_calls) {
    EXPECT_TRUE(call.finishedLocationCleared) << call.layer;
    EXPECT_EQ(call.status, STATUS_SUCCESS) << call.layer;
    EXPECT_FALSE(call.pendingReturned) << call.layer;
  }
  EXPECT_EQ(KeReadStateEvent(&done), 1);
}

TEST_F(IrpCompletionTest, OriginatorWithItsOwnLocationGetsItsDevice) {
  stack({{.name = 'A'}, {.name = 'C', .down = Down::Complete}});
  PDEVICE_OBJECT own = makeDevice(driver, nullptr);
  irp = IoAllocateIrp(static_cast<CCHAR>(top()->StackSize + 1), FALSE);
  IoSetNextIrpStackLocation(irp);
  IoGetCurrentIrpStackLocation(irp)->DeviceObject = own;
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  IoSetCompletionRoutine(irp, originatorCompletion, &done, TRUE, TRUE, TRUE);
  EXPECT_EQ(IoCallDriver(top(), irp), STATUS_SUCCESS);
  ASSERT_EQ(order(), "AO");
  EXPECT_EQ(callOf('O').device, own);
  EXPECT_EQ(callOf('O').currentLocation, 3);
  IoDeleteDevice(own);
}

struct InvokeCase {
  const char* what;
  BOOLEAN onSuccess, onError, onCancel;
  NTSTATUS status;
  bool cancel;
  bool invoked;
};

TEST_F(IrpCompletionTest, RoutineInvokedPerItsFlagsTheStatusAndCancel) {
  const InvokeCase cases[] = {
      {"success, on success", TRUE, FALSE, FALSE, STATUS_SUCCESS, false, true},
      {"error, on success only", TRUE, FALSE, FALSE, STATUS_UNSUCCESSFUL, false, false},
      {"error, on error", FALSE, TRUE, FALSE, STATUS_UNSUCCESSFUL, false, true},
      {"success, on error only", FALSE, TRUE, FALSE, STATUS_SUCCESS, false, false},
      {"warning counts as failure, on error", FALSE, TRUE, FALSE, STATUS_BUFFER_OVERFLOW, false, true},
      {"warning counts as failure, on success only", TRUE, FALSE, FALSE, STATUS_BUFFER_OVERFLOW, false, false},
      {"informational counts as success", TRUE, FALSE, FALSE, STATUS_TIMEOUT, false, true},
      {"cancelled, on cancel", FALSE, FALSE, TRUE, STATUS_CANCELLED, true, true},
      {"cancel flag with success, on cancel", FALSE, FALSE, TRUE, STATUS_SUCCESS, true, true},
      {"not cancelled, on cancel only", FALSE, FALSE, TRUE, STATUS_CANCELLED, false, false},
      {"cancelled, on success only", TRUE, FALSE, FALSE, STATUS_CANCELLED, true, false},
      {"no flags at all", FALSE, FALSE, FALSE, STATUS_SUCCESS, true, false},
      {"all flags, error", TRUE, TRUE, TRUE, STATUS_NOT_SUPPORTED, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    g_calls.clear();
    stack({{.name = 'A', .onSuccess = c.onSuccess, .onError = c.onError, .onCancel = c.onCancel},
           {.name = 'C', .down = Down::Complete, .completeWith = c.status, .setCancel = c.cancel}});
    EXPECT_EQ(send(), c.status);
    EXPECT_EQ(order(), c.invoked ? "AO" : "O");
    EXPECT_EQ(callOf('O').status, c.status);
    IoFreeIrp(irp);
    irp = nullptr;
    for (auto& l : layers) {
      if (l.lower != nullptr) IoDetachDevice(l.lower);
    }
    for (auto& l : layers) IoDeleteDevice(l.device);
  }
}

TEST_F(IrpCompletionTest, StatusIsReadAfreshAtEachLevel) {
  // B turns a success into an error: A, invoked on error only, runs and sees it.
  stack({{.name = 'A', .onSuccess = FALSE, .onError = TRUE, .onCancel = FALSE},
         {.name = 'B', .rewrite = STATUS_IO_DEVICE_ERROR},
         {.name = 'C', .down = Down::Complete}});
  send();
  ASSERT_EQ(order(), "BAO");
  EXPECT_EQ(callOf('B').status, STATUS_SUCCESS);
  EXPECT_EQ(callOf('A').status, STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(callOf('O').status, STATUS_IO_DEVICE_ERROR);
}

TEST_F(IrpCompletionTest, StatusTurnedToSuccessSkipsAnErrorOnlyRoutine) {
  stack({{.name = 'A', .onSuccess = FALSE, .onError = TRUE, .onCancel = FALSE},
         {.name = 'B', .rewrite = STATUS_SUCCESS},
         {.name = 'C', .down = Down::Complete, .completeWith = STATUS_UNSUCCESSFUL}});
  send();
  EXPECT_EQ(order(), "BO");
  EXPECT_EQ(callOf('O').status, STATUS_SUCCESS);
}

TEST_F(IrpCompletionTest, MoreProcessingRequiredHaltsTheWalkUntilCompletedAgain) {
  stack({{.name = 'A'}, {.name = 'B', .onDone = OnDone::MoreProcessing}, {.name = 'C', .down = Down::Complete}});
  EXPECT_EQ(send(), STATUS_SUCCESS);
  EXPECT_EQ(order(), "B");
  EXPECT_EQ(KeReadStateEvent(&done), 0);
  ASSERT_EQ(layer('B').held, irp);
  // B's driver finishes its work and completes the IRP again: the walk
  // resumes with the routines above B's location, each exactly once.
  EXPECT_EQ(irp->CurrentLocation, 2);
  irp->IoStatus.Status = STATUS_BUFFER_TOO_SMALL;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  EXPECT_EQ(order(), "BAO");
  EXPECT_EQ(callOf('A').status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(callOf('A').device, layer('A').device);
  EXPECT_EQ(KeReadStateEvent(&done), 1);
}

TEST_F(IrpCompletionTest, CompletingAgainFromInsideTheRoutineResumesOnce) {
  stack(
      {{.name = 'A'}, {.name = 'B', .onDone = OnDone::CompleteInsideThenMore}, {.name = 'C', .down = Down::Complete}});
  EXPECT_EQ(send(), STATUS_SUCCESS);
  EXPECT_EQ(order(), "BAO");
}

TEST_F(IrpCompletionTest, LocationWithoutRoutineTakesThePendingMarkFromBelow) {
  // A passes the IRP down without a routine and returns the lower driver's
  // STATUS_PENDING; the I/O manager carries the mark up to A's location.
  stack({{.name = 'A', .down = Down::CopyNoRoutine}, {.name = 'C', .down = Down::Pend}});
  EXPECT_EQ(send(), STATUS_PENDING);
  EXPECT_EQ(order(), "");
  completeLater(layer('C').held, STATUS_SUCCESS);
  ASSERT_EQ(order(), "O");
  EXPECT_TRUE(callOf('O').pendingReturned);
}

TEST_F(IrpCompletionTest, SkippedLocationSharesTheLowerDriversMark) {
  stack({{.name = 'A', .down = Down::Skip}, {.name = 'C', .down = Down::Pend}});
  EXPECT_EQ(send(), STATUS_PENDING);
  completeLater(layer('C').held, STATUS_SUCCESS);
  ASSERT_EQ(order(), "O");
  EXPECT_TRUE(callOf('O').pendingReturned);
}

TEST_F(IrpCompletionTest, RoutineThatMarksPendingPassesItUp) {
  stack({{.name = 'A'}, {.name = 'B'}, {.name = 'C', .down = Down::Pend}});
  EXPECT_EQ(send(), STATUS_PENDING);
  completeLater(layer('C').held, STATUS_SUCCESS);
  ASSERT_EQ(order(), "BAO");
  EXPECT_TRUE(callOf('B').pendingReturned);
  EXPECT_TRUE(callOf('A').pendingReturned);
  EXPECT_TRUE(callOf('O').pendingReturned);
}

TEST_F(IrpCompletionTest, RoutineThatForgetsTheMarkIsReported) {
  expectViolations = true;
  stack({{.name = 'A', .onDone = OnDone::Forget}, {.name = 'C', .down = Down::Pend}});
  EXPECT_EQ(send(), STATUS_PENDING);
  completeLater(layer('C').held, STATUS_SUCCESS);
  ASSERT_EQ(order(), "AO");
  EXPECT_TRUE(callOf('A').pendingReturned);
  EXPECT_FALSE(callOf('O').pendingReturned);
  auto found = violationsOf(*machine, "PENDING_NOT_PROPAGATED");
  ASSERT_EQ(found.size(), 1u);
  EXPECT_NE(found[0].detail.find(hexAddress(irp)), std::string::npos) << found[0].detail;
  EXPECT_EQ(takeViolations(), std::vector<std::string>{"PENDING_NOT_PROPAGATED"});
}

TEST_F(IrpCompletionTest, RoutineKeepingTheIrpNeedNotMarkIt) {
  stack({{.name = 'A', .onDone = OnDone::MoreProcessing}, {.name = 'C', .down = Down::Pend}});
  EXPECT_EQ(send(), STATUS_PENDING);
  completeLater(layer('C').held, STATUS_SUCCESS);
  EXPECT_EQ(order(), "A");
  EXPECT_TRUE(callOf('A').pendingReturned);
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  EXPECT_EQ(order(), "AO");
}

TEST_F(IrpCompletionTest, SynchronousCompletionLeavesPendingReturnedClear) {
  stack({{.name = 'A'}, {.name = 'B', .down = Down::CopyNoRoutine}, {.name = 'C', .down = Down::Complete}});
  EXPECT_EQ(send(), STATUS_SUCCESS);
  ASSERT_EQ(order(), "AO");
  EXPECT_FALSE(callOf('A').pendingReturned);
  EXPECT_FALSE(callOf('O').pendingReturned);
}

TEST_F(IrpCompletionTest, RoutineThatCompletesAgainAndLetsTheWalkGoOnIsCaught) {
  expectViolations = true;
  stack({{.name = 'A'},
         {.name = 'B', .onDone = OnDone::CompleteInsideThenSuccess},
         {.name = 'C', .down = Down::Complete}});
  send();
  // Every routine above ran once; the I/O manager did not complete a second time.
  EXPECT_EQ(order(), "BAO");
  auto found = violationsOf(*machine, "IRP_COMPLETED_TWICE");
  ASSERT_EQ(found.size(), 1u);
  EXPECT_NE(found[0].detail.find(hexAddress(irp)), std::string::npos) << found[0].detail;
  takeViolations();
}

TEST_F(IrpCompletionTest, OriginatorMayCompleteTheIrpItKeptOnceMore) {
  expectViolations = true;
  stack({{.name = 'A'}, {.name = 'C', .down = Down::Complete}});
  send();
  // The originator's routine kept the IRP with every location done: one more
  // IoCompleteRequest hands it to the I/O manager's completion, no routine runs again.
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  EXPECT_EQ(order(), "AO");
  EXPECT_TRUE(machine->violations().empty());
  // A further one completes a completed IRP.
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  EXPECT_EQ(order(), "AO");
  auto found = violationsOf(*machine, "IRP_COMPLETED_TWICE");
  ASSERT_EQ(found.size(), 1u);
  EXPECT_NE(found[0].detail.find(hexAddress(irp)), std::string::npos);
  EXPECT_EQ(takeViolations(), std::vector<std::string>{"IRP_COMPLETED_TWICE"});
}

}  // namespace
}  // namespace pdkit::test
