// The readable transcript, compared whole: the boot, each command as it was
// written, the kernel debugger's stream as a debugger shows it ("kd> " on
// every line, text without a line end running on), and each result's
// status, Win32 error and byte count, for each of the three drivers.
#include "pdctl_run.h"

#include <gtest/gtest.h>

namespace pdkit::test {
namespace {

const char* const kPnpBoot =
    "kd> IRP_MJ_PNP Received : Begin\n"
    "kd> IRP_MN_START_DEVICE Received : Begin\n"
    "kd> Start Device....\n"
    "kd> IRP_MN_START_DEVICE Received : End\n"
    "kd> IRP_MJ_PNP Received : End\n"
    "boot IRP_MN_START_DEVICE: STATUS_SUCCESS (0x00000000), win32 0, 0 bytes\n"
    "kd> IRP_MJ_PNP Received : Begin\n"
    "kd> IRP_MN_QUERY_CAPABILITIES Received : Begin\n"
    "kd> Query Device Capability....\n"
    "kd> Ready to pass IRP down\n"
    "kd> In Completion Routine for IRP_MN_QUERY_CAPABILITIES....\n"
    "kd> return from IoCompletion Routine for IRP_MN_QUERY_CAPABILITIES\n"
    "kd> IRP_MN_QUERY_CAPABILITIES Received : End\n"
    "kd> IRP_MJ_PNP Received : End\n"
    "boot IRP_MN_QUERY_CAPABILITIES: STATUS_SUCCESS (0x00000000), win32 0, 0 bytes\n";

// What every session on the driver starts with.
std::string boot(const std::string& driver) {
  if (driver == "ostrel") {
    return std::string(
               "kd> In DriverEntry : Begin\n"
               "kd> In DriverEntry : End\n"
               "boot load ostrel: STATUS_SUCCESS (0x00000000), win32 0, 0 bytes\n"
               "kd> In AddDevice : Begin\n"
               "kd> In AddDevice : End\n"
               "boot AddDevice: STATUS_SUCCESS (0x00000000), win32 0, 0 bytes\n") +
           kPnpBoot;
  }
  return "boot load " + driver + ": STATUS_SUCCESS (0x00000000), win32 0, 0 bytes\n" +
         "boot AddDevice: STATUS_SUCCESS (0x00000000), win32 0, 0 bytes\n" + kPnpBoot;
}

const char* const kTableDump =
    "kd> Support Query Device Capability : Yes\n"
    "kd> DeviceD1 : 0\n"
    "kd> DeviceD2 : 0\n"
    "kd> WakeFromD0 : 0\n"
    "kd> WakeFromD1 : 0\n"
    "kd> WakeFromD2 : 0\n"
    "kd> WakeFromD3 : 0\n"
    "kd> SystemWake : 0\n"
    "kd> DeviceWake : 0\n"
    "kd> DeviceState[0] : 0\n"
    "kd> DeviceState[1] : 1\n"
    "kd> DeviceState[2] : 4\n"
    "kd> DeviceState[3] : 4\n"
    "kd> DeviceState[4] : 4\n"
    "kd> DeviceState[5] : 4\n"
    "kd> DeviceState[6] : 4\n";

const char* const kTableDecoded =
    "table: STATUS_SUCCESS (0x00000000), win32 0, 64 bytes, handle 1\n"
    "  CapabilitiesQueried 1 (filled from the bus's report)\n"
    "  DeviceD1 0  DeviceD2 0\n"
    "  WakeFromD0 0  WakeFromD1 0  WakeFromD2 0  WakeFromD3 0\n"
    "  SystemWake 0 PowerSystemUnspecified\n"
    "  DeviceWake 0 PowerDeviceUnspecified\n"
    "  DeviceState (the device state for each system state):\n"
    "    [0] PowerSystemUnspecified    -> 0 PowerDeviceUnspecified\n"
    "    [1] PowerSystemWorking (S0)   -> 1 PowerDeviceD0\n"
    "    [2] PowerSystemSleeping1 (S1) -> 4 PowerDeviceD3\n"
    "    [3] PowerSystemSleeping2 (S2) -> 4 PowerDeviceD3\n"
    "    [4] PowerSystemSleeping3 (S3) -> 4 PowerDeviceD3\n"
    "    [5] PowerSystemHibernate (S4) -> 4 PowerDeviceD3\n"
    "    [6] PowerSystemShutdown (S5)  -> 4 PowerDeviceD3\n";

struct TranscriptCase {
  const char* name;
  const char* driver;
  const char* script;
  std::string expected;  // after the boot
  bool quietKd = false;
};

std::string withoutKd(const std::string& text) {
  std::string out;
  for (const auto& line : linesOf(text)) {
    if (line.rfind("kd> ", 0) != 0) out += line + "\n";
  }
  return out;
}

void PrintTo(const TranscriptCase& c, std::ostream* os) { *os << c.name; }

class Transcript : public ::testing::TestWithParam<TranscriptCase> {};

TEST_P(Transcript, ShowsCommandsDebuggerOutputAndResultsInOrder) {
  const TranscriptCase& c = GetParam();
  std::vector<std::string> arguments{"--driver", c.driver, "-f", "-"};
  if (c.quietKd) arguments.push_back("--quiet-kd");
  PdctlRun run = runPdctl(arguments, c.script);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exit, 0);
  EXPECT_EQ(run.out, (c.quietKd ? withoutKd(boot(c.driver)) : boot(c.driver)) + c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Drivers, Transcript,
    ::testing::Values(
        TranscriptCase{"TavrinWritesAndReadsBackThroughTheMdl", "tavrin", "open\nwrite abc\nread 8\nclose\n",
                       "pdctl> open\n"
                       "open: STATUS_SUCCESS (0x00000000), win32 0, 0 bytes, handle 1\n"
                       "pdctl> write abc\n"
                       "kd> IRP_MJ_WRITE : Begin\n"
                       "kd> Input Buffer Length : 3\n"
                       "kd> Offset for Buffer in the Memory Page: 0\n"
                       "kd> Driver Data Length : 1024\n"
                       "kd> IRP_MJ_WRITE : End\n"
                       "write: STATUS_SUCCESS (0x00000000), win32 0, 3 bytes, handle 1\n"
                       "pdctl> read 8\n"
                       "kd> IRP_MJ_READ : Begin\n"
                       "kd> Output Buffer Length : 8\n"
                       "kd> Offset for Buffer in the Memory Page: 0\n"
                       "kd> Driver Data Length : 1024\n"
                       "kd> IRP_MJ_READ : End\n"
                       "read: STATUS_SUCCESS (0x00000000), win32 0, 8 bytes, handle 1\n"
                       "  0000  61 62 63 00 00 00 00 00                          |abc.....|\n"
                       "pdctl> close\n"
                       "close: STATUS_SUCCESS (0x00000000), win32 0, 0 bytes, handle 1\n"},
        TranscriptCase{"KelvaneWritesAndReadsBackThroughTheSystemBuffer", "kelvane",
                       "open\nwrite \"0123456789abcdefXY\"\nread 20\n",
                       "pdctl> open\n"
                       "open: STATUS_SUCCESS (0x00000000), win32 0, 0 bytes, handle 1\n"
                       "pdctl> write \"0123456789abcdefXY\"\n"
                       "kd> IRP_MJ_WRITE : Begin\n"
                       "kd> Input Buffer Length : 18\n"
                       "kd> Driver Data Length : 1024\n"
                       "kd> IRP_MJ_WRITE : End\n"
                       "write: STATUS_SUCCESS (0x00000000), win32 0, 18 bytes, handle 1\n"
                       "pdctl> read 20\n"
                       "kd> IRP_MJ_READ : Begin\n"
                       "kd> Output Buffer Length : 20\n"
                       "kd> Driver Data Length : 1024\n"
                       "kd> IRP_MJ_READ : End\n"
                       "read: STATUS_SUCCESS (0x00000000), win32 0, 20 bytes, handle 1\n"
                       "  0000  30 31 32 33 34 35 36 37 38 39 61 62 63 64 65 66  |0123456789abcdef|\n"
                       "  0010  58 59 00 00                                      |XY..|\n"},
        TranscriptCase{"OstrelFailsReadAndWriteWithoutReachingTheDriver", "ostrel", "open\nwrite hi\nread 4\nclose\n",
                       "pdctl> open\n"
                       "kd> IRP_MJ_CREATE Received : Begin\n"
                       "kd> IRP_MJ_CREATE Received : End\n"
                       "open: STATUS_SUCCESS (0x00000000), win32 0, 0 bytes, handle 1\n"
                       "pdctl> write hi\n"
                       "write: STATUS_INVALID_DEVICE_REQUEST (0xC0000010), win32 1 (ERROR_INVALID_FUNCTION), 0 bytes, "
                       "handle 1\n"
                       "pdctl> read 4\n"
                       "read: STATUS_INVALID_DEVICE_REQUEST (0xC0000010), win32 1 (ERROR_INVALID_FUNCTION), 0 bytes, "
                       "handle 1\n"
                       "pdctl> close\n"
                       "kd> IRP_MJ_CLOSE Received : Begin\n"
                       "close: STATUS_SUCCESS (0x00000000), win32 0, 0 bytes, handle 1\n"},
        TranscriptCase{"TavrinTableIsDumpedAndDecoded", "tavrin", "open\ntable\n",
                       std::string("pdctl> open\n"
                                   "open: STATUS_SUCCESS (0x00000000), win32 0, 0 bytes, handle 1\n"
                                   "pdctl> table\n"
                                   "kd> IRP_MJ_DEVICE_IO_CONTROL : Begin\n") +
                           kTableDump + "kd> IRP_MJ_DEVICE_IO_CONTROL : End\n" + kTableDecoded},
        TranscriptCase{"OstrelTablePrintsOnlyTheDump", "ostrel", "open\ntable\n",
                       std::string("pdctl> open\n"
                                   "kd> IRP_MJ_CREATE Received : Begin\n"
                                   "kd> IRP_MJ_CREATE Received : End\n"
                                   "open: STATUS_SUCCESS (0x00000000), win32 0, 0 bytes, handle 1\n"
                                   "pdctl> table\n") +
                           kTableDump + kTableDecoded},
        TranscriptCase{
            "TavrinSleepsAndWakesWithRunOnLines", "tavrin", "sleep S3\nwake\n",
            "pdctl> sleep S3\n"
            "kd> IRP_MJ_POWER Received : Begin\n"
            "kd> Power Manager query power state\n"
            "kd> System power state query\n"
            "kd> System power state = 4\n"
            "kd> Ready to pass down IRP for system power state query¦In completion routine for IRP_MN_QUERY_POWER for "
            "system power¦IRP_MJ_POWER Received : Begin\n"
            "kd> Power Manager query power state\n"
            "kd> Device power state query¦Device power state = 4\n"
            "kd> Ready to pass down IRP for device power state query¦In completion routine for IRP_MN_QUERY_POWER for "
            "device power¦In callback routine for PoRequestPowerIrp of device power query\n"
            "kd> IRP_MN_QUERY_POWER for device power has been send successfully¦IRP_MJ_POWER Received : Begin\n"
            "kd> System or device power is going to be change\n"
            "kd> System power state change\n"
            "kd> System power state = 4\n"
            "kd> Ready to pass down IRP for system power state change¦In completion routine for IRP_MN_SET_POWER for "
            "system power¦IRP_MJ_POWER Received : Begin\n"
            "kd> System or device power is going to be change\n"
            "kd> Device power state change\n"
            "kd> Device power state = 4\n"
            "kd> Device power down\n"
            "kd> Ready to pass down IRP for device power state change¦In callback routine for PoRequestPowerIrp of "
            "device power setting\n"
            // A call that goes on where the previous one left the line open begins with ¦.
            // The stream stops without a line end: the result starts a line of its own.
            "kd> IRP_MN_SET_POWER for device power has been send successfully\n"
            "sleep PowerSystemSleeping3 (S3): STATUS_SUCCESS (0x00000000), win32 0, 0 bytes\n"
            "pdctl> wake\n"
            "kd> IRP_MJ_POWER Received : Begin\n"
            "kd> System or device power is going to be change\n"
            "kd> System power state change\n"
            "kd> System power state = 1\n"
            "kd> Ready to pass down IRP for system power state change¦In completion routine for IRP_MN_SET_POWER for "
            "system power¦IRP_MJ_POWER Received : Begin\n"
            "kd> System or device power is going to be change\n"
            "kd> Device power state change\n"
            "kd> Device power state = 1\n"
            "kd> Device power up\n"
            "kd> Ready to pass down IRP for device power state change¦In completion routine for IRP_MN_SET_POWER for "
            "device power¦In callback routine for PoRequestPowerIrp of device power setting\n"
            "kd> IRP_MN_SET_POWER for device power has been send successfully\n"
            "wake PowerSystemWorking (S0): STATUS_SUCCESS (0x00000000), win32 0, 0 bytes\n"},
        TranscriptCase{
            "KelvaneStateBeforeAndAfterASleep", "kelvane", "state\nsleep S3\nstate\n",
            "pdctl> state\n"
            "state: driver kelvane loaded, device \\\\.\\KELVANEDEV (started)\n"
            "  power: system 1 PowerSystemWorking (S0), device 1 PowerDeviceD0 (as the driver recorded "
            "them)\n"
            "  remove lock: count 1 (1 held by the device until it is removed, plus 1 per open handle and per "
            "request in progress)\n"
            "  open handles: none\n"
            "  capability table: queried, D1 0, D2 0, WakeFromD0..D3 0 0 0 0, SystemWake 0, DeviceWake 0, "
            "DeviceState 0:1:4:4:4:4:4\n"
            "pdctl> sleep S3\n"
            "sleep PowerSystemSleeping3 (S3): STATUS_SUCCESS (0x00000000), win32 0, 0 bytes\n"
            "pdctl> state\n"
            "state: driver kelvane loaded, device \\\\.\\KELVANEDEV (started)\n"
            "  power: system 4 PowerSystemSleeping3 (S3), device 4 PowerDeviceD3 (as the driver recorded "
            "them)\n"
            "  remove lock: count 1 (1 held by the device until it is removed, plus 1 per open handle and per "
            "request in progress)\n"
            "  last PoSetPowerState: device 4 PowerDeviceD3\n"
            "  open handles: none\n"
            "  capability table: queried, D1 0, D2 0, WakeFromD0..D3 0 0 0 0, SystemWake 0, DeviceWake 0, "
            "DeviceState 0:1:4:4:4:4:4\n",
            true}),
    [](const auto& test) { return std::string(test.param.name); });

// --quiet-kd leaves out the debugger's output and nothing else.
TEST(TranscriptOptions, QuietKdLeavesOutOnlyTheDebuggerOutput) {
  PdctlRun loud = runPdctl({"--driver", "kelvane", "open; write hi; read 2; describe; table; sleep S3"});
  PdctlRun quiet = runPdctl({"--driver", "kelvane", "--quiet-kd", "open; write hi; read 2; describe; table; sleep S3"});
  ASSERT_EQ(loud.exit, 0);
  ASSERT_EQ(quiet.exit, 0);
  EXPECT_EQ(quiet.out, withoutKd(loud.out));
  EXPECT_NE(loud.out, quiet.out);
}

// --bare stops after AddDevice: the script sends the PnP requests itself.
TEST(TranscriptOptions, BareBootsOnlyAsFarAsAddDevice) {
  PdctlRun run = runPdctl({"--driver", "tavrin", "--bare", "pnp start; pnp 0x14"});
  EXPECT_EQ(run.exit, 0);
  EXPECT_EQ(run.out,
            "boot load tavrin: STATUS_SUCCESS (0x00000000), win32 0, 0 bytes\n"
            "boot AddDevice: STATUS_SUCCESS (0x00000000), win32 0, 0 bytes\n"
            "pdctl> pnp start\n"
            "kd> IRP_MJ_PNP Received : Begin\n"
            "kd> IRP_MN_START_DEVICE Received : Begin\n"
            "kd> Start Device....\n"
            "kd> IRP_MN_START_DEVICE Received : End\n"
            "kd> IRP_MJ_PNP Received : End\n"
            "pnp IRP_MN_START_DEVICE: STATUS_SUCCESS (0x00000000), win32 0, 0 bytes\n"
            "pdctl> pnp 0x14\n"
            "kd> IRP_MJ_PNP Received : Begin\n"
            "kd> IRP_MJ_PNP Received : End\n"
            "pnp IRP_MN_QUERY_PNP_DEVICE_STATE: STATUS_NOT_SUPPORTED (0xC00000BB), win32 50 (ERROR_NOT_SUPPORTED), 0 "
            "bytes\n");
}

// Without a capability query the table stays in its zero state: every system state maps to PowerDeviceUnspecified.
TEST(TranscriptOptions, BareTableIsNeverFilled) {
  PdctlRun run = runPdctl({"--driver", "kelvane", "--bare", "--quiet-kd", "open; table"});
  EXPECT_EQ(run.exit, 0);
  auto lines = linesOf(run.out);
  ASSERT_EQ(lines.size(), 19u);
  EXPECT_EQ(lines[4], "pdctl> table");
  EXPECT_EQ(lines[5], "table: STATUS_SUCCESS (0x00000000), win32 0, 64 bytes, handle 1");
  EXPECT_EQ(lines[6], "  CapabilitiesQueried 0 (never filled)");
  EXPECT_EQ(lines[13], "    [1] PowerSystemWorking (S0)   -> 0 PowerDeviceUnspecified");
}

}  // namespace
}  // namespace pdkit::test
