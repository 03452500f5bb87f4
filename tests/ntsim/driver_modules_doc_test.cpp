// docs/DRIVER-MODULES.md's walk-through, step by step, on the example
// module where the build puts it (build/<preset>/drivers/hello.so).
#include <gtest/gtest.h>
#include <ntsim/ntsim.h>

#include <string>

namespace pdkit::test {
namespace {

TEST(DriverModulesGuide, LoadsTheExampleModuleAsDocumented) {
  const std::string path = std::string(PDKIT_DRIVER_DIR) + "/hello.so";
  ntsim::Machine machine;
  ntsim::Driver& driver = machine.load(path);
  EXPECT_TRUE(driver.loaded());
  EXPECT_EQ(driver.name(), "hello");
  ntsim::DeviceNode& node = machine.addDevice(driver);
  ASSERT_EQ(node.addDeviceStatus(), STATUS_SUCCESS);
  EXPECT_EQ(machine.pnp(node, IRP_MN_START_DEVICE).status, STATUS_SUCCESS);
  auto open = machine.open("\\\\.\\HELLODEV");
  ASSERT_EQ(open.result.status, STATUS_SUCCESS);
  char in[4] = {'p', 'i', 'n', 'g'}, out[4] = {};
  auto result = machine.deviceIoControl(open.handle, CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, 0), in,
                                        sizeof in, out, sizeof out);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, 4u);
  EXPECT_EQ(result.win32, 0u);
  EXPECT_EQ(std::string(out, 4), "ping");
  EXPECT_EQ(machine.close(open.handle).status, STATUS_SUCCESS);
  machine.unload(driver);
  EXPECT_FALSE(driver.loaded());
  for (const auto& v : machine.violations()) ADD_FAILURE() << v.rule << ": " << v.detail;
  std::vector<std::string> lines;
  for (const auto& record : machine.debugOutput()) lines.push_back(record.text);
  EXPECT_EQ(lines, (std::vector<std::string>{"hello: DriverEntry\r\n", "hello: device added\r\n",
                                             "hello: echo 4 bytes\r\n", "hello: goodbye\r\n"}));
}

}  // namespace
}  // namespace pdkit::test
