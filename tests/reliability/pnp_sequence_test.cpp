// PnP sequences as the test kit sends them (rebalance, cancelled stop,
// disable and enable, cancelled remove, surprise removal then remove,
// repeated start), with I/O on open handles in between. Every PnP request
// goes down to the bus and traces its lines; the store and the table live
// through all of it until the removal, the remove lock comes back to its
// count and the verifier stays silent.
#include "reliability_fixture.h"

#include <vector>

namespace pdkit::test::reliability {
namespace {

using pdkit::test::Lines;

class PnpSequenceTest : public ReliabilityTest, public ::testing::WithParamInterface<DriverKind> {
 protected:
  void SetUp() override {
    ReliabilityTest::SetUp();
    boot(GetParam());
    handle_ = open();
    if (kind_->hasStore) {
      ASSERT_EQ(writeBytes(handle_, stored_).information, stored_.size());
    }
  }

  // Sends one PnP request and checks what the driver made of it.
  void send(UCHAR minor) {
    SCOPED_TRACE("minor " + std::to_string(minor));
    machine->clearDebugOutput();
    size_t busBefore = node->busRecords().size();
    auto result = machine->pnp(*node, minor);
    // What neither the driver nor the root bus handles comes back as it was sent.
    bool handled = minor != IRP_MN_QUERY_PNP_DEVICE_STATE && minor != IRP_MN_QUERY_DEVICE_RELATIONS;
    EXPECT_EQ(result.status, handled ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED);
    EXPECT_EQ(result.information, 0u);
    EXPECT_EQ(node->busRecords().size(), busBefore + 1) << "every request goes down to the bus";
    if (minor != IRP_MN_QUERY_CAPABILITIES) {
      EXPECT_EQ(kd(), linesOf(minor));
    }
  }

  static Lines linesOf(UCHAR minor) {
    const char* handled = minor == IRP_MN_START_DEVICE    ? "START"
                          : minor == IRP_MN_STOP_DEVICE   ? "STOP"
                          : minor == IRP_MN_REMOVE_DEVICE ? "REMOVE"
                                                          : nullptr;
    if (handled == nullptr) return {"IRP_MJ_PNP Received : Begin\r\n", "IRP_MJ_PNP Received : End\r\n"};
    std::string name = handled;
    std::string word = minor == IRP_MN_START_DEVICE ? "Start" : minor == IRP_MN_STOP_DEVICE ? "Stop" : "Remove";
    return {"IRP_MJ_PNP Received : Begin\r\n", "IRP_MN_" + name + "_DEVICE Received : Begin\r\n",
            word + " Device....\r\n", "IRP_MN_" + name + "_DEVICE Received : End\r\n", "IRP_MJ_PNP Received : End\r\n"};
  }

  // The open handle still gets the same answers, and the store kept its bytes.
  void expectIo(const char* when) {
    SCOPED_TRACE(when);
    if (kind_->hasStore) {
      Bytes back;
      EXPECT_EQ(read(handle_, static_cast<ULONG>(stored_.size()), &back).information, stored_.size());
      EXPECT_EQ(back, stored_);
    } else {
      Bytes ignored;
      EXPECT_EQ(read(handle_, 16, &ignored).status, STATUS_INVALID_DEVICE_REQUEST);
    }
    EXPECT_EQ(table(handle_).CapabilitiesQueried, 1);
    EXPECT_EQ(lockCount(), 2);
  }

  void sendAll(std::initializer_list<UCHAR> minors, const char* name) {
    SCOPED_TRACE(name);
    for (UCHAR minor : minors) {
      send(minor);
      expectIo(name);
    }
  }

  ntsim::Handle handle_ = 0;
  Bytes stored_ = pattern(40, 0x21);
};

TEST_P(PnpSequenceTest, RebalanceStopsAndRestarts) {
  sendAll({IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE, IRP_MN_START_DEVICE, IRP_MN_QUERY_CAPABILITIES,
           IRP_MN_QUERY_PNP_DEVICE_STATE, IRP_MN_QUERY_DEVICE_RELATIONS},
          "rebalance");
  machine->close(handle_);
  expectServing("after the rebalance");
}

TEST_P(PnpSequenceTest, CancelledStopAndCancelledRemove) {
  sendAll(
      {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE},
      "cancelled");
  machine->close(handle_);
  expectServing("after the cancelled stop and remove");
}

TEST_P(PnpSequenceTest, RepeatedStart) {
  sendAll({IRP_MN_START_DEVICE, IRP_MN_QUERY_CAPABILITIES, IRP_MN_START_DEVICE, IRP_MN_START_DEVICE,
           IRP_MN_QUERY_CAPABILITIES},
          "repeated start");
  machine->close(handle_);
  expectServing("after the repeated starts");
}

TEST_P(PnpSequenceTest, SurpriseRemovalThenRemoveThenUnload) {
  sendAll({IRP_MN_SURPRISE_REMOVAL}, "surprise removal");
  // The program closes its handle; then the PnP manager removes the device and unloads the driver.
  EXPECT_EQ(machine->close(handle_).status, STATUS_SUCCESS);
  send(IRP_MN_REMOVE_DEVICE);
  EXPECT_EQ(node->fdo(), nullptr);
  unloadClean();
}

TEST_P(PnpSequenceTest, DisableAndEnable) {
  sendAll({IRP_MN_QUERY_REMOVE_DEVICE}, "query remove");
  EXPECT_EQ(machine->close(handle_).status, STATUS_SUCCESS);
  send(IRP_MN_REMOVE_DEVICE);
  EXPECT_EQ(node->fdo(), nullptr);
  unloadClean();
  // Enabled again: a fresh load, AddDevice, start and capability query; the store starts empty.
  boot(GetParam());
  handle_ = open();
  if (kind_->hasStore) {
    Bytes back;
    EXPECT_EQ(read(handle_, 40, &back).information, 40u);
    EXPECT_EQ(back, Bytes(40, 0));
  }
  machine->close(handle_);
  expectServing("after disable and enable");
}

INSTANTIATE_TEST_SUITE_P(Drivers, PnpSequenceTest, ::testing::ValuesIn(kAllDrivers), PrintKind);

}  // namespace
}  // namespace pdkit::test::reliability
