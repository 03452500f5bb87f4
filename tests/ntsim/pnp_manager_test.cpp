// The PnP manager's requests as they reach a device stack: the status they
// start with and the capability structure the sender initialises.
#include "inproc.h"

namespace pdkit::test {
namespace {

// A filter above the root bus that notes what each request carried on arrival.
struct Filter {
  PDEVICE_OBJECT lower = nullptr;
  std::vector<UCHAR> minors;
  std::vector<NTSTATUS> arrivedWith;
  bool sawCapabilities = false;
  DEVICE_CAPABILITIES capabilitiesOnArrival{};
};

NTSTATUS filterPnp(PDEVICE_OBJECT device, PIRP irp) {
  auto* filter = contextOf<Filter>(device);
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  filter->minors.push_back(location->MinorFunction);
  filter->arrivedWith.push_back(irp->IoStatus.Status);
  if (location->MinorFunction == IRP_MN_QUERY_CAPABILITIES && location->Parameters.DeviceCapabilities.Capabilities) {
    filter->sawCapabilities = true;
    filter->capabilitiesOnArrival = *location->Parameters.DeviceCapabilities.Capabilities;
  }
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(filter->lower, irp);
}

class PnpManagerTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    driver = machine->createDriverObject();
    driver->MajorFunction[IRP_MJ_PNP] = filterPnp;
    node = &machine->createNode();
    device = makeDevice(driver, &filter, nullptr, node->pdo());
    filter.lower = node->pdo();
  }

  Filter filter;
  PDRIVER_OBJECT driver = nullptr;
  ntsim::DeviceNode* node = nullptr;
  PDEVICE_OBJECT device = nullptr;
};

TEST_F(PnpManagerTest, RequestsStartAsNotSupported) {
  const UCHAR minors[] = {IRP_MN_START_DEVICE,
                          IRP_MN_QUERY_PNP_DEVICE_STATE,
                          IRP_MN_QUERY_DEVICE_RELATIONS,
                          IRP_MN_QUERY_CAPABILITIES,
                          IRP_MN_QUERY_STOP_DEVICE,
                          IRP_MN_STOP_DEVICE,
                          IRP_MN_QUERY_ID};
  for (UCHAR minor : minors) machine->pnp(*node, minor);
  EXPECT_EQ(filter.minors, std::vector<UCHAR>(std::begin(minors), std::end(minors)));
  ASSERT_EQ(filter.arrivedWith.size(), std::size(minors));
  for (size_t i = 0; i < std::size(minors); ++i) {
    EXPECT_EQ(filter.arrivedWith[i], STATUS_NOT_SUPPORTED) << "minor " << int(minors[i]);
  }
}

TEST_F(PnpManagerTest, UnhandledRequestKeepsItsStatus) {
  auto result = machine->pnp(*node, IRP_MN_QUERY_ID);
  EXPECT_EQ(result.status, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(result.win32, 50u);
  auto started = machine->pnp(*node, IRP_MN_START_DEVICE);
  EXPECT_EQ(started.status, STATUS_SUCCESS);
  auto records = node->busRecords();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].minor, IRP_MN_QUERY_ID);
  EXPECT_EQ(records[0].completedWith, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(records[1].minor, IRP_MN_START_DEVICE);
}

TEST_F(PnpManagerTest, CapabilitiesArriveInitialisedBySender) {
  DEVICE_CAPABILITIES answer{};
  auto result = machine->queryCapabilities(*node, &answer);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  ASSERT_TRUE(filter.sawCapabilities);
  EXPECT_EQ(sizeof(DEVICE_CAPABILITIES), 64u);
  DEVICE_CAPABILITIES expected;
  std::memset(&expected, 0, sizeof expected);
  expected.Size = 64;
  expected.Version = 1;
  expected.Address = 0xFFFFFFFF;
  expected.UINumber = 0xFFFFFFFF;
  const auto& seen = filter.capabilitiesOnArrival;
  EXPECT_EQ(seen.Size, 64);
  EXPECT_EQ(seen.Version, 1);
  EXPECT_EQ(seen.Address, 0xFFFFFFFFu);
  EXPECT_EQ(seen.UINumber, 0xFFFFFFFFu);
  EXPECT_EQ(std::memcmp(&seen, &expected, sizeof expected), 0) << "every other field starts at zero";
  // The bus filled it in on the way down.
  DEVICE_CAPABILITIES report = ntsim::rootBusCapabilities();
  EXPECT_EQ(std::memcmp(&answer, &report, sizeof report), 0);
  EXPECT_EQ(answer.DeviceState[PowerSystemWorking], PowerDeviceD0);
  for (int state = PowerSystemSleeping1; state <= PowerSystemShutdown; ++state) {
    EXPECT_EQ(answer.DeviceState[state], PowerDeviceD3) << "S" << state;
  }
}

TEST_F(PnpManagerTest, BusReportIsScriptable) {
  ntsim::BusBehaviour bus = node->bus();
  bus.capabilities.DeviceD1 = 1;
  bus.capabilities.D1Latency = 42;
  node->setBus(bus);
  DEVICE_CAPABILITIES answer{};
  EXPECT_EQ(machine->queryCapabilities(*node, &answer).status, STATUS_SUCCESS);
  EXPECT_EQ(answer.DeviceD1, 1u);
  EXPECT_EQ(answer.D1Latency, 42u);
  EXPECT_EQ(filter.capabilitiesOnArrival.DeviceD1, 0u);
  EXPECT_EQ(filter.capabilitiesOnArrival.D1Latency, 0u);
}

}  // namespace
}  // namespace pdkit::test
