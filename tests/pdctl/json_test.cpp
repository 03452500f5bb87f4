// --json: one object per event in the order things happen, each command's
// debugger output before its result, compared line by line.
#include "pdctl_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

namespace pdkit::test {
namespace {

// The lines after the boot's results.
std::vector<std::string> afterBoot(const std::string& out) {
  auto lines = linesOf(out);
  size_t last = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].rfind(R"({"cmd":"boot")", 0) == 0) last = i + 1;
  }
  return std::vector<std::string>(lines.begin() + static_cast<long>(last), lines.end());
}

std::vector<std::string> runJson(const std::string& driver, const std::string& commands, bool quietKd = false) {
  std::vector<std::string> arguments{"--json", "--driver", driver};
  if (quietKd) arguments.push_back("--quiet-kd");
  arguments.push_back(commands);
  PdctlRun run = runPdctl(arguments);
  EXPECT_EQ(run.exit, 0) << run.err;
  EXPECT_EQ(run.err, "");
  return afterBoot(run.out);
}

TEST(Json, BootReportsEachStepAfterItsDebuggerOutput) {
  PdctlRun run = runPdctl({"--json", "--driver", "tavrin", "--quiet-kd"});
  ASSERT_EQ(run.exit, 0);
  std::string module = std::filesystem::weakly_canonical(modulePath("tavrin")).string();
  EXPECT_EQ(
      linesOf(run.out),
      (std::vector<std::string>{
          R"({"cmd":"boot",)" + kOk + R"("bytes":0,"data_hex":"","step":"load","driver":"tavrin","module":")" + module +
              R"("})",
          R"({"cmd":"boot",)" + kOk + R"("bytes":0,"data_hex":"","step":"add-device"})",
          R"({"cmd":"boot",)" + kOk + R"("bytes":0,"data_hex":"","step":"start","minor":"IRP_MN_START_DEVICE"})",
          R"({"cmd":"boot",)" + kOk + R"("bytes":0,"data_hex":"","step":"caps","minor":"IRP_MN_QUERY_CAPABILITIES"})",
      }));
}

TEST(Json, TavrinWriteAndReadBack) {
  EXPECT_EQ(runJson("tavrin", "open; write hi; read 4"),
            (std::vector<std::string>{
                R"({"cmd":"open",)" + kOk + R"("bytes":0,"data_hex":"","handle":1,"path":"\\\\.\\TAVRINDEV"})",
                R"({"kd":"IRP_MJ_WRITE : Begin\r\n"})",
                R"({"kd":"Input Buffer Length : 2\r\n"})",
                R"({"kd":"Offset for Buffer in the Memory Page: 0\r\n"})",
                R"({"kd":"Driver Data Length : 1024\r\n"})",
                R"({"kd":"IRP_MJ_WRITE : End\r\n"})",
                R"({"cmd":"write",)" + kOk + R"("bytes":2,"data_hex":"","handle":1,"length":2})",
                R"({"kd":"IRP_MJ_READ : Begin\r\n"})",
                R"({"kd":"Output Buffer Length : 4\r\n"})",
                R"({"kd":"Offset for Buffer in the Memory Page: 0\r\n"})",
                R"({"kd":"Driver Data Length : 1024\r\n"})",
                R"({"kd":"IRP_MJ_READ : End\r\n"})",
                R"({"cmd":"read",)" + kOk + R"("bytes":4,"data_hex":"68690000","handle":1,"length":4})",
            }));
}

struct DataCase {
  const char* name;
  const char* driver;
  const char* commands;
  std::string last;  // the last object
};

void PrintTo(const DataCase& c, std::ostream* os) { *os << c.name; }

class JsonData : public ::testing::TestWithParam<DataCase> {};

TEST_P(JsonData, LastResultIsExact) {
  auto lines = runJson(GetParam().driver, GetParam().commands, true);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), GetParam().last);
}

const std::string kRootTableHex =
    "0100000000000000000000000000000000000000000000000000000000000000"
    "0000000000000000010000000400000004000000040000000400000004000000";
const std::string kRootTable =
    R"({"CapabilitiesQueried":1,"DeviceD1":0,"DeviceD2":0,"WakeFromD0":0,"WakeFromD1":0,"WakeFromD2":0,)"
    R"("WakeFromD3":0,"SystemWake":0,"DeviceWake":0,"DeviceState":[0,1,4,4,4,4,4]})";

INSTANTIATE_TEST_SUITE_P(
    Drivers, JsonData,
    ::testing::Values(
        DataCase{"KelvaneHexWriteReadsBackWithZeros", "kelvane", "open; write hex:00ff10; read 6",
                 R"({"cmd":"read",)" + kOk + R"("bytes":6,"data_hex":"00ff10000000","handle":1,"length":6})"},
        DataCase{"TavrinFillIsCutAtTheStore", "tavrin", "open; write fill:0x41:2000",
                 R"({"cmd":"write",)" + kOk + R"("bytes":1024,"data_hex":"","handle":1,"length":2000})"},
        DataCase{"TavrinSecondWriteReplacesTheStore", "tavrin", "open; write hello; write \"ab\"; read 5",
                 R"({"cmd":"read",)" + kOk + R"("bytes":5,"data_hex":"6162000000","handle":1,"length":5})"},
        DataCase{"OstrelReadFails", "ostrel", "open; read 4",
                 R"({"cmd":"read","status":"0xC0000010","status_name":"STATUS_INVALID_DEVICE_REQUEST","win32":1,)"
                 R"("bytes":0,"data_hex":"","handle":1,"length":4})"},
        DataCase{"TavrinTable", "tavrin", "open; table",
                 R"({"cmd":"table",)" + kOk + R"("bytes":64,"data_hex":")" + kRootTableHex +
                     R"(","handle":1,"code":"0x00222004","table":)" + kRootTable + "}"},
        DataCase{"KelvaneTable", "kelvane", "open; table",
                 R"({"cmd":"table",)" + kOk + R"("bytes":64,"data_hex":")" + kRootTableHex +
                     R"(","handle":1,"code":"0x00222004","table":)" + kRootTable + "}"},
        DataCase{"OstrelTable", "ostrel", "open; table",
                 R"({"cmd":"table",)" + kOk + R"("bytes":64,"data_hex":")" + kRootTableHex +
                     R"(","handle":1,"code":"0x00222004","table":)" + kRootTable + "}"},
        DataCase{"TableWithAShortBufferFails", "tavrin", "open; table 1 16",
                 R"({"cmd":"table","status":"0xC0000023","status_name":"STATUS_BUFFER_TOO_SMALL","win32":122,)"
                 R"("bytes":0,"data_hex":"","handle":1,"code":"0x00222004","table":null})"},
        DataCase{"RawIoctlReturnsTheTableBytes", "ostrel", "open; ioctl 0x222004 0 64",
                 R"({"cmd":"ioctl",)" + kOk + R"("bytes":64,"data_hex":")" + kRootTableHex +
                     R"(","handle":1,"code":"0x00222004","in_length":0,"out_length":64})"},
        DataCase{"UnknownCodeFails", "kelvane", "open; ioctl 0x222008 4 4",
                 R"({"cmd":"ioctl","status":"0xC0000010","status_name":"STATUS_INVALID_DEVICE_REQUEST","win32":1,)"
                 R"("bytes":0,"data_hex":"","handle":1,"code":"0x00222008","in_length":4,"out_length":4})"},
        DataCase{"BusReportReachesTheTable", "tavrin",
                 "open; bus caps D2=1 WakeFromD1=1 SystemWake=S2 DeviceWake=D1 DeviceState=0:D0:D1:D2:D3:D3:D3 "
                 "Removable=1; pnp caps; table",
                 R"({"cmd":"table",)" + kOk +
                     R"("bytes":64,"data_hex":"0100000000000000010000000000000001000000000000000000000003000000)"
                     R"(0200000000000000010000000200000003000000040000000400000004000000","handle":1,)"
                     R"("code":"0x00222004","table":{"CapabilitiesQueried":1,"DeviceD1":0,"DeviceD2":1,)"
                     R"("WakeFromD0":0,"WakeFromD1":1,"WakeFromD2":0,"WakeFromD3":0,"SystemWake":3,"DeviceWake":2,)"
                     R"("DeviceState":[0,1,2,3,4,4,4]}})"},
        DataCase{"FailedCapabilityQueryLeavesTheTable", "kelvane",
                 "open; bus fail caps STATUS_UNSUCCESSFUL; bus caps D1=1; pnp caps; table",
                 R"({"cmd":"table",)" + kOk + R"("bytes":64,"data_hex":")" + kRootTableHex +
                     R"(","handle":1,"code":"0x00222004","table":)" + kRootTable + "}"},
        DataCase{"StateAfterSleepAndWake", "ostrel", "sleep S3; wake; state",
                 R"({"cmd":"state",)" + kOk +
                     R"("bytes":0,"data_hex":"","driver":"ostrel","loaded":true,"device":true,"pnp_state":"started",)"
                     R"("system_power_state":1,"device_power_state":1,"remove_lock_count":1,)"
                     R"("announced_device_power_state":1,"handles":[],"table":)" +
                     kRootTable + R"(,"pending_faults":[]})"},
        DataCase{"StateAfterSleep", "tavrin", "open; open; close 1; sleep S4; state",
                 R"({"cmd":"state",)" + kOk +
                     R"("bytes":0,"data_hex":"","driver":"tavrin","loaded":true,"device":true,"pnp_state":"started",)"
                     R"("system_power_state":5,"device_power_state":4,"remove_lock_count":2,)"
                     R"("announced_device_power_state":4,"handles":[2],"table":)" +
                     kRootTable + R"(,"pending_faults":[]})"},
        DataCase{"StateAfterUnload", "kelvane", "unload; state",
                 R"({"cmd":"state",)" + kOk +
                     R"("bytes":0,"data_hex":"","driver":"kelvane","loaded":false,"device":false,)"
                     R"("system_power_state":null,"device_power_state":null,"remove_lock_count":null,)"
                     R"("announced_device_power_state":null,"handles":[],"table":null,"pending_faults":[]})"},
        // The drivers allocate only in AddDevice: a pool fault set later stays pending.
        DataCase{"PoolFaultStaysPending", "ostrel", "fault pool; open; close; state",
                 R"({"cmd":"state",)" + kOk +
                     R"("bytes":0,"data_hex":"","driver":"ostrel","loaded":true,"device":true,"pnp_state":"started",)"
                     R"("system_power_state":1,"device_power_state":1,"remove_lock_count":1,)"
                     R"("announced_device_power_state":null,"handles":[],"table":)" +
                     kRootTable + R"(,"pending_faults":["pool"]})"},
        DataCase{"FailedCapabilityQueryStatus", "tavrin", "bus fail caps 0xC0000001; pnp caps",
                 R"({"cmd":"pnp","status":"0xC0000001","status_name":"STATUS_UNSUCCESSFUL","win32":31,)"
                 R"("bytes":0,"data_hex":"","minor":"IRP_MN_QUERY_CAPABILITIES"})"},
        DataCase{"PowerRequestFaultFailsTheSleep", "kelvane", "fault porequest STATUS_NOT_SUPPORTED; sleep S3",
                 R"({"cmd":"sleep","status":"0xC00000BB","status_name":"STATUS_NOT_SUPPORTED","win32":50,)"
                 R"("bytes":0,"data_hex":"","state":4,"action":2})"},
        DataCase{"DeviceStatePassedThroughAsGiven", "tavrin", "power device set 7",
                 R"({"cmd":"power",)" + kOk +
                     R"("bytes":0,"data_hex":"","minor":"IRP_MN_SET_POWER","type":"device","state":7,"action":0})"},
        // Passed down to the bus, which cannot wake the system: the status it was sent with.
        DataCase{"WaitWakeComesBackWithTheBussAnswer", "ostrel", "power wait-wake",
                 R"({"cmd":"power","status":"0xC00000BB","status_name":"STATUS_NOT_SUPPORTED","win32":50,)"
                 R"("bytes":0,"data_hex":"","minor":"IRP_MN_WAIT_WAKE"})"},
        DataCase{"NegativeCodeIsTwosComplement", "tavrin", "open; ioctl -1",
                 R"({"cmd":"ioctl","status":"0xC0000010","status_name":"STATUS_INVALID_DEVICE_REQUEST","win32":1,)"
                 R"("bytes":0,"data_hex":"","handle":1,"code":"0xFFFFFFFF","in_length":0,"out_length":0})"},
        DataCase{"SecondOpenGetsHandleTwo", "kelvane", "open; open \\sub",
                 R"({"cmd":"open",)" + kOk + R"("bytes":0,"data_hex":"","handle":2,"path":"\\\\.\\KELVANEDEV\\sub"})"},
        DataCase{"OpenOfAnotherNameFails", "tavrin", "open X",
                 R"({"cmd":"open","status":"0xC0000034","status_name":"STATUS_OBJECT_NAME_NOT_FOUND","win32":2,)"
                 R"("bytes":0,"data_hex":"","handle":null,"path":"\\\\.\\TAVRINDEVX"})"}),
    [](const auto& test) { return std::string(test.param.name); });

// The description comes back as UTF-16LE; "text" is what its bytes say.
TEST(Json, DescriptionTextIsTheReplyDecoded) {
  for (const char* driver : {"tavrin", "kelvane", "ostrel"}) {
    auto lines = runJson(driver, "open; describe", true);
    ASSERT_EQ(lines.size(), 2u) << driver;
    const std::string& line = lines[1];
    auto field = [&](const std::string& name) {
      auto at = line.find("\"" + name + "\":\"");
      EXPECT_NE(at, std::string::npos) << name;
      at += name.size() + 4;
      return line.substr(at, line.find('"', at) - at);
    };
    std::string hex = field("data_hex");
    ASSERT_GT(hex.size(), 0u) << driver;
    ASSERT_EQ(hex.size() % 4, 0u) << driver;
    std::string expected;
    for (size_t i = 0; i < hex.size(); i += 4) {
      unsigned unit = static_cast<unsigned>(std::stoul(hex.substr(i + 2, 2) + hex.substr(i, 2), nullptr, 16));
      ASSERT_LT(unit, 0x80u) << "the descriptions are ASCII";
      if (unit == '\r')
        expected += "\\r";
      else if (unit == '\n')
        expected += "\\n";
      else
        expected.push_back(static_cast<char>(unit));
    }
    EXPECT_EQ(field("text"), expected) << driver;
    EXPECT_NE(line.find(R"("bytes":)" + std::to_string(hex.size() / 2) + ","), std::string::npos) << line;
    EXPECT_TRUE(expected.ends_with("\\r\\n")) << expected;
  }
}

// A capability query the bus completes later from another thread: all of its
// debugger output still comes before its result.
TEST(Json, PendingBusCompletionsComeBeforeTheResult) {
  for (int round = 0; round < 5; ++round) {
    auto lines = runJson("tavrin", "bus pend on; pnp caps; state");
    ASSERT_EQ(lines.size(), 11u);
    std::vector<std::string> kd(lines.begin() + 1, lines.begin() + 9);
    std::vector<std::string> expected{
        R"({"kd":"IRP_MJ_PNP Received : Begin\r\n"})",
        R"({"kd":"IRP_MN_QUERY_CAPABILITIES Received : Begin\r\n"})",
        R"({"kd":"Query Device Capability....\r\n"})",
        R"({"kd":"Ready to pass IRP down\r\n"})",
        R"({"kd":"In Completion Routine for IRP_MN_QUERY_CAPABILITIES....\r\n"})",
        R"({"kd":"return from IoCompletion Routine for IRP_MN_QUERY_CAPABILITIES\r\n"})",
        R"({"kd":"IRP_MN_QUERY_CAPABILITIES Received : End\r\n"})",
        R"({"kd":"IRP_MJ_PNP Received : End\r\n"})",
    };
    // The completion routine's second line may come after the dispatch routine's End lines.
    std::sort(kd.begin(), kd.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(kd, expected);
    EXPECT_EQ(lines[9], R"({"cmd":"pnp",)" + kOk + R"("bytes":0,"data_hex":"","minor":"IRP_MN_QUERY_CAPABILITIES"})");
    EXPECT_EQ(lines[10].rfind(R"({"cmd":"state")", 0), 0u);
  }
}

TEST(Json, FaultedMappingFailsTheWriteAndIsTraced) {
  EXPECT_EQ(runJson("tavrin", "open; fault map; write hi"),
            (std::vector<std::string>{
                R"({"cmd":"open",)" + kOk + R"("bytes":0,"data_hex":"","handle":1,"path":"\\\\.\\TAVRINDEV"})",
                R"({"cmd":"fault",)" + kOk + R"("bytes":0,"data_hex":"","fault":"map"})",
                R"({"kd":"IRP_MJ_WRITE : Begin\r\n"})",
                R"({"kd":"Can't get Virtual Address from MDL\r\n"})",
                R"({"cmd":"write","status":"0xC000009A","status_name":"STATUS_INSUFFICIENT_RESOURCES","win32":1450,)"
                R"("bytes":0,"data_hex":"","handle":1,"length":2})",
            }));
}

TEST(Json, TextWithoutLineEndIsOneKdObjectAsPrinted) {
  auto lines = runJson("kelvane", "bus fail caps STATUS_UNSUCCESSFUL; pnp caps");
  auto failed = std::find(lines.begin(), lines.end(), R"({"kd":"Failed to handle IRP_MN_QUERY_CAPABILITIES"})");
  ASSERT_NE(failed, lines.end());
  ASSERT_NE(failed + 1, lines.end());
  EXPECT_EQ(*(failed + 1), R"({"kd":"IRP_MN_QUERY_CAPABILITIES Received : End\r\n"})");
}

TEST(Json, QuietKdLeavesOutTheKdObjects) {
  for (const auto& line : runJson("ostrel", "open; table; sleep S3; close; unload", true)) {
    EXPECT_EQ(line.rfind(R"({"cmd":)", 0), 0u) << line;
  }
}

}  // namespace
}  // namespace pdkit::test
