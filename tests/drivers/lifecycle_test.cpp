// A device's whole life as Windows runs it, for each driver: disable and
// enable a hundred times, surprise removal with a handle open, rebalance and
// uninstall; each clean under the verifier, with pool and remove lock
// balanced and the device serving after every enable.
#include "driver_fixture.h"

#include <algorithm>

namespace pdkit::test {
namespace {

class LifecycleTest : public DriverTest, public ::testing::WithParamInterface<DriverKind> {
 protected:
  // Pool the driver holds while its device exists: the table, and the store where there is one.
  size_t devicePool() const { return GetParam().hasStore ? 2u : 1u; }

  // A write and a read back (or a description for Ostrel) on a fresh handle.
  void expectServing(const std::string& text) {
    ntsim::Handle handle = open();
    Bytes reply;
    if (GetParam().hasStore) {
      EXPECT_EQ(write(handle, text).information, text.size());
      EXPECT_EQ(read(handle, static_cast<ULONG>(text.size()), &reply).information, text.size());
      EXPECT_EQ(std::string(reply.begin(), reply.end()), text);
    }
    EXPECT_EQ(table(handle).CapabilitiesQueried, 1);
    EXPECT_EQ(lockCount(), 2) << "one for the lock itself, one for the open handle";
    EXPECT_EQ(machine->close(handle).status, STATUS_SUCCESS);
  }

  std::vector<UCHAR> busMinors(size_t from) const {
    std::vector<UCHAR> minors;
    auto records = node->busRecords();
    for (size_t i = from; i < records.size(); ++i) minors.push_back(records[i].minor);
    return minors;
  }
};

TEST_P(LifecycleTest, AHundredDisableEnableCyclesLeaveTheDeviceServingAndNothingBehind) {
  boot(GetParam());
  for (int cycle = 0; cycle < 100; ++cycle) {
    SCOPED_TRACE("cycle " + std::to_string(cycle));
    ASSERT_EQ(machine->disableDevice(*node).status, STATUS_SUCCESS);
    ASSERT_EQ(node->fdo(), nullptr);
    ASSERT_EQ(machine->poolOutstanding(driver), 0u);
    ASSERT_EQ(machine->enableDevice(*node).status, STATUS_SUCCESS);
    ASSERT_EQ(machine->poolOutstanding(driver), devicePool());
    if (cycle % 25 == 0) expectServing("cycle " + std::to_string(cycle));
  }
}

TEST_P(LifecycleTest, DisableSendsQueryRemoveThenRemoveWithTheRemovalTraced) {
  boot(GetParam());
  size_t from = node->busRecords().size();
  machine->clearDebugOutput();
  ASSERT_EQ(machine->disableDevice(*node).status, STATUS_SUCCESS);
  EXPECT_EQ(kd(), (Lines{"IRP_MJ_PNP Received : Begin\r\n", "IRP_MJ_PNP Received : End\r\n",
                         "IRP_MJ_PNP Received : Begin\r\n", "IRP_MN_REMOVE_DEVICE Received : Begin\r\n",
                         "Remove Device....\r\n", "IRP_MN_REMOVE_DEVICE Received : End\r\n",
                         "IRP_MJ_PNP Received : End\r\n"}));
  EXPECT_EQ(busMinors(from), (std::vector<UCHAR>{IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE}));
}

TEST_P(LifecycleTest, SurpriseRemovalFinishesWhenTheLastHandleCloses) {
  boot(GetParam());
  ntsim::Handle handle = open();
  size_t from = node->busRecords().size();
  ASSERT_EQ(machine->surpriseRemove(*node).status, STATUS_SUCCESS);
  EXPECT_EQ(busMinors(from), std::vector<UCHAR>{IRP_MN_SURPRISE_REMOVAL});
  EXPECT_EQ(machine->open(GetParam().device).result.status, STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(machine->close(handle).status, STATUS_SUCCESS);
  EXPECT_EQ(busMinors(from), (std::vector<UCHAR>{IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}));
  EXPECT_EQ(node->fdo(), nullptr);
  EXPECT_EQ(machine->poolOutstanding(driver), 0u);
  ASSERT_EQ(machine->enableDevice(*node).status, STATUS_SUCCESS);
  expectServing("back");
}

TEST_P(LifecycleTest, RebalanceStopsAndStartsTheDeviceWithItsData) {
  boot(GetParam());
  if (GetParam().hasStore) {
    ntsim::Handle handle = open();
    write(handle, "kept");
    machine->close(handle);
  }
  size_t from = node->busRecords().size();
  ASSERT_EQ(machine->rebalance(*node).status, STATUS_SUCCESS);
  EXPECT_EQ(busMinors(from), (std::vector<UCHAR>{IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE, IRP_MN_START_DEVICE,
                                                 IRP_MN_QUERY_CAPABILITIES, IRP_MN_QUERY_PNP_DEVICE_STATE,
                                                 IRP_MN_QUERY_DEVICE_RELATIONS}));
  if (GetParam().hasStore) {
    Bytes held = store();
    EXPECT_EQ(std::string(held.begin(), held.begin() + 4), "kept");
  }
  expectServing("after");
}

TEST_P(LifecycleTest, UninstallRemovesTheDeviceThenUnloadsTheDriver) {
  boot(GetParam());
  machine->clearDebugOutput();
  ASSERT_EQ(machine->uninstall(*driver).status, STATUS_SUCCESS);
  EXPECT_FALSE(driver->loaded());
  auto lines = kd();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "In DriverUnload : Begin\r\n");
  EXPECT_EQ(lines.back(), "In DriverUnload : End\r\n");
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Remove Device....\r\n"), lines.end());
}

INSTANTIATE_TEST_SUITE_P(Drivers, LifecycleTest, ::testing::ValuesIn(kAllDrivers), PrintKind);

}  // namespace
}  // namespace pdkit::test
