// Loading, AddDevice, unloading and loading again.
#include "ntsim_test.h"

namespace pdkit::test {
namespace {

using LoaderTest = MachineTest;

TEST_F(LoaderTest, HelloDriverServesAndUnloads) {
  ntsim::Driver& driver = machine->load(driverPath("hello"));
  ntsim::DeviceNode& node = machine->addDevice(driver);
  ASSERT_EQ(node.addDeviceStatus(), STATUS_SUCCESS);
  auto open = machine->open("\\\\.\\HELLODEV");
  ASSERT_EQ(open.result.status, STATUS_SUCCESS);
  char in[5] = "ping", out[8] = {};
  auto echo = machine->deviceIoControl(open.handle, CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, 0), in, 4,
                                       out, sizeof out);
  EXPECT_EQ(echo.status, STATUS_SUCCESS);
  EXPECT_EQ(echo.information, 4u);
  EXPECT_EQ(std::string(out), "ping");
  EXPECT_EQ(machine->close(open.handle).status, STATUS_SUCCESS);
  machine->unload(driver);
  EXPECT_EQ(kd(), (std::vector<std::string>{"hello: DriverEntry\r\n", "hello: device added\r\n",
                                            "hello: echo 4 bytes\r\n", "hello: goodbye\r\n"}));
}

}  // namespace
}  // namespace pdkit::test
