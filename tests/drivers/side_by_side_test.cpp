// The three drivers loaded on one machine: each keeps its own device, store,
// table and globals.
#include "driver_fixture.h"

namespace pdkit::test {
namespace {

class SideBySideTest : public MachineTest {
 protected:
  struct Loaded {
    const DriverKind* kind;
    ntsim::Driver* driver;
    ntsim::DeviceNode* node;
  };

  void SetUp() override {
    MachineTest::SetUp();
    for (const DriverKind* kind : {&kTavrin, &kKelvane, &kOstrel}) {
      ntsim::Driver& driver = machine->load(driverPath(kind->module));
      ntsim::DeviceNode& node = machine->addDevice(driver);
      ASSERT_EQ(node.addDeviceStatus(), STATUS_SUCCESS);
      loaded.push_back({kind, &driver, &node});
    }
  }

  CAPABILITY_TABLE tableOf(const DriverKind& kind) {
    auto opened = machine->open(kind.device);
    EXPECT_EQ(opened.result.status, STATUS_SUCCESS);
    CAPABILITY_TABLE table{};
    auto result = machine->deviceIoControl(opened.handle, IOCTL_GET_CAPABILITY_TABLE, nullptr, 0, &table, 64);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    machine->close(opened.handle);
    return table;
  }

  std::string readText(const DriverKind& kind, ULONG length) {
    auto opened = machine->open(kind.device);
    std::string text(length, '\0');
    auto result = machine->read(opened.handle, text.data(), length);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    machine->close(opened.handle);
    return text;
  }

  void writeText(const DriverKind& kind, const std::string& text) {
    auto opened = machine->open(kind.device);
    EXPECT_EQ(machine->write(opened.handle, text.data(), static_cast<ULONG>(text.size())).status, STATUS_SUCCESS);
    machine->close(opened.handle);
  }

  std::vector<Loaded> loaded;
};

TEST_F(SideBySideTest, EachDriverKeepsItsOwnStoreAndTable) {
  writeText(kTavrin, "direct");
  writeText(kKelvane, "buffered");
  EXPECT_EQ(readText(kTavrin, 8), std::string("direct\0\0", 8));
  EXPECT_EQ(readText(kKelvane, 8), "buffered");
  DEVICE_CAPABILITIES report = ntsim::rootBusCapabilities();
  report.DeviceD1 = 1;
  auto bus = loaded[1].node->bus();
  bus.capabilities = report;
  loaded[1].node->setBus(bus);
  ASSERT_EQ(machine->queryCapabilities(*loaded[1].node).status, STATUS_SUCCESS);
  EXPECT_EQ(tableOf(kKelvane).CapabilitiesQueried, 1);
  EXPECT_EQ(tableOf(kKelvane).DeviceD1, 1u);
  EXPECT_EQ(tableOf(kTavrin).CapabilitiesQueried, 0);
  EXPECT_EQ(tableOf(kOstrel).CapabilitiesQueried, 0);
}

TEST_F(SideBySideTest, UnloadingOneLeavesTheOthersServingAndReloadStartsFresh) {
  writeText(kTavrin, "still here");
  ASSERT_EQ(machine->queryCapabilities(*loaded[0].node).status, STATUS_SUCCESS);
  ASSERT_EQ(machine->queryCapabilities(*loaded[1].node).status, STATUS_SUCCESS);
  machine->unload(*loaded[1].driver);
  EXPECT_EQ(machine->open(kKelvane.device).result.status, STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(readText(kTavrin, 10), "still here");
  EXPECT_EQ(tableOf(kTavrin).CapabilitiesQueried, 1);
  EXPECT_EQ(tableOf(kOstrel).CapabilitiesQueried, 0);
  ntsim::Driver& again = machine->load(driverPath(kKelvane.module));
  ASSERT_EQ(machine->addDevice(again).addDeviceStatus(), STATUS_SUCCESS);
  EXPECT_EQ(tableOf(kKelvane).CapabilitiesQueried, 0);
  EXPECT_EQ(readText(kKelvane, 4), std::string(4, '\0'));
  EXPECT_EQ(machine->poolOutstanding(loaded[0].driver), 2u);
  EXPECT_EQ(machine->poolOutstanding(&again), 2u);
  EXPECT_EQ(machine->poolOutstanding(loaded[2].driver), 1u);
}

}  // namespace
}  // namespace pdkit::test
