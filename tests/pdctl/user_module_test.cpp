// Driver modules that are not ours, loaded by path: the example driver, and
// one with a bug that the verifier reports (exit status 2).
#include "pdctl_run.h"

#include <gtest/gtest.h>

namespace pdkit::test {
namespace {

TEST(UserModule, ExampleDriverEchoesThroughItsControlCode) {
  PdctlRun run = runPdctl({"--driver", modulePath("hello"), "--device", "HELLODEV",
                           "open; ioctl 0x222400 4 8; ioctl 0x222000; state; close; unload"});
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exit, 0);
  EXPECT_EQ(run.out,
            "kd> hello: DriverEntry\n"
            "boot load hello: STATUS_SUCCESS (0x00000000), win32 0, 0 bytes\n"
            "kd> hello: device added\n"
            "boot AddDevice: STATUS_SUCCESS (0x00000000), win32 0, 0 bytes\n"
            "boot IRP_MN_START_DEVICE: STATUS_SUCCESS (0x00000000), win32 0, 0 bytes\n"
            "boot IRP_MN_QUERY_CAPABILITIES: STATUS_SUCCESS (0x00000000), win32 0, 0 bytes\n"
            "pdctl> open\n"
            "open: STATUS_SUCCESS (0x00000000), win32 0, 0 bytes, handle 1\n"
            "pdctl> ioctl 0x222400 4 8\n"
            "kd> hello: echo 4 bytes\n"
            "ioctl: STATUS_SUCCESS (0x00000000), win32 0, 4 bytes, handle 1\n"
            "  code 0x00222400: device type 0x0022, function 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS\n"
            "  0000  00 01 02 03                                      |....|\n"
            "pdctl> ioctl 0x222000\n"
            "ioctl: STATUS_INVALID_DEVICE_REQUEST (0xC0000010), win32 1 (ERROR_INVALID_FUNCTION), 0 bytes, handle 1\n"
            "  code 0x00222000: device type 0x0022, function 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS\n"
            "pdctl> state\n"
            "state: driver hello loaded, device \\\\.\\HELLODEV (started)\n"
            "  power and remove lock: not known for this driver (not one of ours)\n"
            "  open handles: 1\n"
            "pdctl> close\n"
            "close: STATUS_SUCCESS (0x00000000), win32 0, 0 bytes, handle 1\n"
            "pdctl> unload\n"
            "kd> hello: goodbye\n"
            "unload: STATUS_SUCCESS (0x00000000), win32 0, 0 bytes\n");
}

TEST(UserModule, ExampleDriverInJson) {
  PdctlRun run =
      runPdctl({"--json", "--driver", modulePath("hello"), "--device", "hellodev", "open; ioctl 0x222400 3 2"});
  EXPECT_EQ(run.exit, 0);
  auto lines = linesOf(run.out);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], R"({"kd":"hello: echo 2 bytes\r\n"})");
  EXPECT_EQ(lines.back(), R"({"cmd":"ioctl","status":"0x00000000","status_name":"STATUS_SUCCESS","win32":0,"bytes":2,)"
                          R"("data_hex":"0001","handle":1,"code":"0x00222400","in_length":3,"out_length":2})");
}

TEST(UserModule, WithoutDeviceNameOpenSaysHowToNameIt) {
  PdctlRun run = runPdctl({"--quiet-kd", "--driver", modulePath("hello"), "open; state"});
  EXPECT_EQ(run.exit, 1);
  EXPECT_EQ(run.err,
            "pdctl: command 1: open: the device of driver hello has no known name: name it with --device NAME (the "
            "name after \\\\.\\, e.g. --device HELLODEV for the example driver)\n");
}

// A leak at unload is reported as it happens, before the unload's result, and makes the exit status 2.
TEST(UserModule, VerifierReportAtUnloadGivesExitTwo) {
  PdctlRun run = runPdctl({"--driver", modulePath("pdctl_leaky"), "--device", "LEAKYDEV", "open; close; unload"});
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exit, 2);
  auto lines = linesOf(run.out);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[lines.size() - 3], "pdctl> unload");
  const std::string& report = lines[lines.size() - 2];
  EXPECT_EQ(report.rfind("!! verifier: POOL_LEAK: driver pdctl_leaky unloaded with block 0x", 0), 0u) << report;
  EXPECT_TRUE(report.ends_with(" of 32 bytes, tag 'Leak' still allocated (0xC4/0x62)")) << report;
  EXPECT_EQ(lines.back(), "unload: STATUS_SUCCESS (0x00000000), win32 0, 0 bytes");
  EXPECT_NE(run.out.find("kd> leaky: 32 bytes that unload forgets\n"), std::string::npos);
}

TEST(UserModule, VerifierReportInJson) {
  PdctlRun run = runPdctl({"--json", "--driver", modulePath("pdctl_leaky"), "unload"});
  EXPECT_EQ(run.exit, 2);
  auto lines = linesOf(run.out);
  ASSERT_GE(lines.size(), 2u);
  const std::string& report = lines[lines.size() - 2];
  EXPECT_EQ(report.rfind(R"({"verifier":"POOL_LEAK","detail":"driver pdctl_leaky unloaded with block 0x)", 0), 0u)
      << report;
  EXPECT_TRUE(report.ends_with(R"x( of 32 bytes, tag 'Leak' still allocated (0xC4/0x62)"})x")) << report;
}

// A session that ends with the driver loaded: pdctl closes what is open and
// the machine unloads the driver, without showing that debugger output; a
// verifier report still counts.
TEST(UserModule, VerifierReportAtTheEndOfTheSessionStillCounts) {
  PdctlRun run = runPdctl({"--driver", modulePath("pdctl_leaky"), "--device", "LEAKYDEV", "open"});
  EXPECT_EQ(run.exit, 2);
  auto lines = linesOf(run.out);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "open: STATUS_SUCCESS (0x00000000), win32 0, 0 bytes, handle 1");
  EXPECT_EQ(lines.back().rfind("!! verifier: POOL_LEAK: driver pdctl_leaky unloaded with block 0x", 0), 0u);
}

TEST(UserModule, OurDriversEndCleanlyWithHandlesLeftOpen) {
  for (const char* driver : {"tavrin", "kelvane", "ostrel"}) {
    PdctlRun run = runPdctl({"--driver", driver, "open; open; write x"});
    EXPECT_EQ(run.exit, 0) << driver << run.out;
    EXPECT_EQ(run.out.find("In DriverUnload"), std::string::npos) << driver;
  }
}

}  // namespace
}  // namespace pdkit::test
