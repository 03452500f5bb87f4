// Bad input: one line on standard error, "pdctl: WHERE: COMMAND: what was
// wrong: what is expected", exit status 1 (2 when the verifier has reported),
// and a script stops at the bad command (what comes after it does not run).
// Nothing aborts, stalls or echoes control characters. At the prompt the
// session goes on.
#include "pdctl_run.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>

namespace pdkit::test {
namespace {

struct BadCase {
  const char* name;
  std::vector<std::string> arguments;
  std::string error;  // the whole of standard error
  int exit = 1;
  std::vector<std::string> environment = {};
};

void PrintTo(const BadCase& c, std::ostream* os) { *os << c.name; }

class BadInput : public ::testing::TestWithParam<BadCase> {};

// Each command line ends with "; state": when the bad command stops the run, state never runs.
TEST_P(BadInput, OneLineErrorAndTheRunStops) {
  std::vector<std::string> arguments{"--quiet-kd"};
  arguments.insert(arguments.end(), GetParam().arguments.begin(), GetParam().arguments.end());
  PdctlRun run = runPdctl(arguments, "", GetParam().environment);
  EXPECT_EQ(run.exit, GetParam().exit);
  EXPECT_EQ(run.err, GetParam().error + "\n");
  EXPECT_EQ(run.out.find("pdctl> state"), std::string::npos) << run.out;
}

const std::string kCommands =
    "open, close, write, read, describe, table, ioctl, pnp, power, sleep, wake, bus, fault, state, unload, help, quit, "
    "wait, cancel";

INSTANTIATE_TEST_SUITE_P(
    Cases, BadInput,
    ::testing::Values(
        BadCase{"UnknownCommand",
                {"open; frob 1; state"},
                "pdctl: command 2: frob: unknown command: expected one of " + kCommands},
        BadCase{"BadNumber",
                {"open; read 0x1g; state"},
                "pdctl: command 2: read: bad number '0x1g' for the read length: expected a 32-bit value in decimal or "
                "0x-hex "
                "(e.g. 16 or 0x10)"},
        BadCase{"NumberOver32Bits",
                {"open; ioctl 4294967296; state"},
                "pdctl: command 2: ioctl: bad number '4294967296' for the control code: expected a 32-bit value in "
                "decimal or "
                "0x-hex (e.g. 16 or 0x10)"},
        BadCase{"QuotedLength",
                {"open; read \"4\"; state"},
                "pdctl: command 2: read: the read length must be a number, not text in quotes; usage: read [H] N"},
        BadCase{"HandleNotOpen",
                {"open; read 2 4; state"},
                "pdctl: command 2: read: handle 2 is not open: expected one of the open handles (1)"},
        BadCase{"ClosedHandle",
                {"open; open; close 1; write 1 hi; state"},
                "pdctl: command 4: write: handle 1 is not open: expected one of the open handles (2)"},
        BadCase{"NoHandleOpen", {"read 4; state"}, "pdctl: command 1: read: no handle is open: use open first"},
        BadCase{"ReadOver16MiB",
                {"open; read 16777217; state"},
                "pdctl: command 2: read: the read length 16777217 is over the limit: expected at most 16 MiB (16777216 "
                "bytes)"},
        BadCase{
            "FillOver16MiB",
            {"open; write fill:0:0x1000001; state"},
            "pdctl: command 2: write: the fill length 0x1000001 is over the limit: expected at most 16 MiB (16777216 "
            "bytes)"},
        BadCase{
            "IoctlInputOver16MiB",
            {"open; ioctl 0x222000 16777217; state"},
            "pdctl: command 2: ioctl: the input length 16777217 is over the limit: expected at most 16 MiB (16777216 "
            "bytes)"},
        BadCase{"DescribeOutputOver16MiB",
                {"open; describe 1 0x2000000; state"},
                "pdctl: command 2: describe: the output length 0x2000000 is over the limit: expected at most 16 MiB "
                "(16777216 "
                "bytes)"},
        BadCase{"BadHex",
                {"open; write hex:abc; state"},
                "pdctl: command 2: write: bad hex data 'abc': an odd number of hex digits (3); expected two digits per "
                "byte, e.g. hex:48690a; usage: write [H] TEXT | hex:HEX | fill:BYTE:N"},
        BadCase{"FillByteTooBig",
                {"open; write fill:256:4; state"},
                "pdctl: command 2: write: fill byte 256 is not a byte: expected 0 to 255; usage: write [H] TEXT | "
                "hex:HEX | fill:BYTE:N"},
        BadCase{"NothingToWrite",
                {"open; write; state"},
                "pdctl: command 2: write: nothing to write: expected TEXT, hex:HEX or fill:BYTE:N; usage: write [H] "
                "TEXT | hex:HEX | fill:BYTE:N"},
        BadCase{"TooManyArguments",
                {"open; read 1 2 3; state"},
                "pdctl: command 2: read: too many arguments (3); usage: read [H] N"},
        BadCase{"UnterminatedQuote",
                {"open; write \"abc; state"},
                "pdctl: command 2: write: unterminated double quote: expected a closing \" on the same line"},
        BadCase{
            "BadEscape",
            {"write \"a\\q\"; state"},
            "pdctl: command 1: write: unknown escape \\q in quotes: expected one of \\\\ \\\" \\n \\r \\t \\0 \\xNN"},
        BadCase{"BadPnpMinor",
                {"pnp 256; state"},
                "pdctl: command 1: pnp: minor function 256 is not a byte: expected 0 to 255; usage: pnp "
                "disable|enable|surprise|rebalance|uninstall | pnp start|stop|remove|caps|MINOR"},
        BadCase{"BadSystemState",
                {"power system set S9; state"},
                "pdctl: command 1: power: bad system power state 'S9': expected a number or one of unspecified, S0, "
                "working, "
                "S1, S2, S3, S4, hibernate, S5, shutdown"},
        BadCase{"BadDeviceState",
                {"power device set D4; state"},
                "pdctl: command 1: power: bad device power state 'D4': expected a number or one of unspecified, D0, "
                "D1, D2, "
                "D3"},
        BadCase{"BadPowerVerb",
                {"power device go D0; state"},
                "pdctl: command 1: power: expected query or set after device, not 'go'; usage: power system "
                "query|set S [ACTION] | power device query|set D [ACTION] | power wait-wake|sequence|MINOR"},
        BadCase{"SleepWithoutState", {"sleep; state"}, "pdctl: command 1: sleep: too few arguments; usage: sleep S"},
        BadCase{"UnknownCapability",
                {"bus caps Bogus=1; state"},
                "pdctl: command 1: bus caps: unknown capability 'Bogus': expected D1, D2, WakeFromD0..WakeFromD3, "
                "SystemWake, DeviceWake, DeviceState=a:b:c:d:e:f:g, DeviceState[i], Address, UINumber, D1Latency, "
                "D2Latency, D3Latency, or a DEVICE_CAPABILITIES flag (LockSupported, EjectSupported, Removable, "
                "DockDevice, UniqueID, SilentInstall, RawDeviceOK, SurpriseRemovalOK, HardwareDisabled, NonDynamic, "
                "WarmEjectSupported, NoDisplayInUI)"},
        BadCase{"FlagNotABit",
                {"bus caps D1=2; state"},
                "pdctl: command 1: bus caps: D1 is a flag: expected 0 or 1, not 2"},
        BadCase{"ShortDeviceStateList",
                {"bus caps DeviceState=0:1:4; state"},
                "pdctl: command 1: bus caps: DeviceState takes 7 device states, one per system state S0..: expected "
                "a:b:c:d:e:f:g such as 0:D0:D3:D3:D3:D3:D3, got 3"},
        BadCase{"BadStatusName",
                {"bus fail caps STATUS_BOGUS; state"},
                "pdctl: command 1: bus: bad bus failure status 'STATUS_BOGUS': expected an NTSTATUS as a number (e.g. "
                "0xC0000001) or a name such as STATUS_UNSUCCESSFUL, STATUS_INSUFFICIENT_RESOURCES or "
                "STATUS_NOT_SUPPORTED"},
        BadCase{"MapFaultTakesNoStatus",
                {"fault map STATUS_UNSUCCESSFUL; state"},
                "pdctl: command 1: fault: map takes no status: the call fails by returning NULL; usage: fault "
                "map|pool|porequest [STATUS]"},
        BadCase{"UnloadWithOpenHandle",
                {"open; unload; state"},
                "pdctl: command 2: unload: handle 1 is still open: close every handle first (Windows does not unload "
                "a driver whose device has open handles)"},
        BadCase{"UnloadTwice", {"unload; unload; state"}, "pdctl: command 2: unload: the driver is already unloaded"},
        BadCase{"SleepAfterUnload",
                {"unload; sleep S3; state"},
                "pdctl: command 2: sleep: the driver is unloaded; there is no device stack to send to"},
        BadCase{
            "UnknownDriver",
            {"--driver", "nosuch", "open; state"},
            "pdctl: unknown driver 'nosuch': expected tavrin, kelvane, ostrel or the path of a driver module (.so)"},
        BadCase{"MissingModule",
                {"--driver", "/nonexistent/mine.so", "open; state"},
                "pdctl: driver module /nonexistent/mine.so does not exist; build it first (make) or check the path"},
        BadCase{"UnknownOption",
                {"--colour", "state"},
                "pdctl: unknown option --colour: expected --driver, --device, --bare, --json, --quiet-kd, -f or "
                "--help"},
        BadCase{"ScriptAndCommands",
                {"-f", "x.pd", "state"},
                "pdctl: both -f x.pd and commands were given: expected one or the other"},
        BadCase{"MissingScript",
                {"-f", "/nonexistent/script.pd"},
                "pdctl: cannot read script /nonexistent/script.pd (No such file or directory): expected a readable "
                "file (or - for standard input)"},
        BadCase{"ScriptIsADirectory",
                {"-f", "/"},
                "pdctl: script / is a directory: expected a file of commands (or - for standard input)"},
        BadCase{"ScriptWithoutLineEnds",
                {"-f", "/dev/zero"},
                "pdctl: /dev/zero:1: the line is longer than 1024 KiB: expected one command per line (write larger "
                "data with fill:BYTE:N or several writes)"},
        BadCase{
            "WordAfterHex",
            {"open; write hex:4869 extra; state"},
            "pdctl: command 2: write: hex: is the whole of the data, yet 'extra' follows it: expected nothing after "
            "it (quote text that starts with hex:); usage: write [H] TEXT | hex:HEX | fill:BYTE:N"},
        BadCase{
            "WordAfterFill",
            {"open; write fill:65:3 more; state"},
            "pdctl: command 2: write: fill: is the whole of the data, yet 'more' follows it: expected nothing after "
            "it (quote text that starts with fill:); usage: write [H] TEXT | hex:HEX | fill:BYTE:N"},
        BadCase{"NotHexDigits",
                {"open; write hex:zz; state"},
                "pdctl: command 2: write: bad hex data 'zz': 'z' is not a hex digit; expected pairs of 0-9, a-f, e.g. "
                "hex:48690a; usage: write [H] TEXT | hex:HEX | fill:BYTE:N"},
        BadCase{"NegativeDeviceState",
                {"power device set -1; state"},
                "pdctl: command 1: power: device power state -1 is negative: expected 0 to 4294967295 (0xFFFFFFFF), "
                "in decimal or 0x-hex"},
        BadCase{"NegativeHandle",
                {"open; close -1; state"},
                "pdctl: command 2: close: the handle -1 is negative: expected 0 to 4294967295 (0xFFFFFFFF), in decimal "
                "or 0x-hex"},
        BadCase{"ControlCharactersEscapedAndLongWordsCut",
                {"fr\x1b[2Job" + std::string(100, 'x') + "; state"},
                "pdctl: command 1: fr\\x1b[2Job" + std::string(52, 'x') +
                    "... (108 characters): unknown command: expected one of " + kCommands},
        BadCase{"ReadAfterAnOpenThatFailed",
                {"--device", "NOPE", "open; read 2; state"},
                "pdctl: command 2: read: no handle is open: the last open failed (\\\\.\\NOPE: "
                "STATUS_OBJECT_NAME_NOT_FOUND; no such device: check --device)"},
        BadCase{"DriverIsADirectory",
                {"--driver", "/tmp", "state"},
                "pdctl: --driver /tmp is a directory: expected a driver module file (.so), such as "
                "build/host/drivers/hello.so"},
        BadCase{"DriverIsNotAModule",
                {"--driver", "/etc/passwd", "state"},
                "pdctl: --driver /etc/passwd is not a driver module (not an ELF shared object): expected a .so built "
                "against ntsim's headers (docs/DRIVER-MODULES.md)"},
        BadCase{"DriverIsAProgram",
                {"--driver", PDCTL_BINARY, "state"},
                "pdctl: cannot load driver module " PDCTL_BINARY ": cannot dynamically load position-independent "
                "executable; a driver module is a shared object built against ntsim's headers (see "
                "docs/DRIVER-MODULES.md)"},
        BadCase{"DemoPaceNegative",
                {"demo"},
                "pdctl: PDCTL_DEMO_PACE_MS=-1 is not a pause the tour can take: expected milliseconds from 0 to 10000 "
                "(0 for no pauses)",
                1,
                {"PDCTL_DEMO_PACE_MS=-1"}},
        BadCase{"DemoPaceHuge",
                {"demo"},
                "pdctl: PDCTL_DEMO_PACE_MS=99999999999 is not a pause the tour can take: expected milliseconds from 0 "
                "to 10000 (0 for no pauses)",
                1,
                {"PDCTL_DEMO_PACE_MS=99999999999"}},
        // A violation reported before a later mistake keeps exit status 2.
        BadCase{"VerifierReportOutranksALaterError",
                {"--driver", modulePath("pdctl_leaky"), "unload; frob; state"},
                "pdctl: command 2: frob: unknown command: expected one of " + kCommands,
                2},
        BadCase{"HelpForUnknownCommand",
                {"help frob"},
                "pdctl: help: unknown command 'frob': expected one of " + kCommands}),
    [](const auto& test) { return std::string(test.param.name); });

// A driver's name in any case, a device with its \\.\ prefix: state still shows the driver's own device.
TEST(BadDevice, StateShowsTheDriversOwnDeviceAndWhatOpenOpens) {
  PdctlRun run = runPdctl({"--quiet-kd", "--driver", "Kelvane", "--device", "\\\\.\\NOPE", "open; state"});
  EXPECT_EQ(run.exit, 0) << run.err;
  EXPECT_NE(run.out.find("open: STATUS_OBJECT_NAME_NOT_FOUND (0xC0000034), win32 2 (ERROR_FILE_NOT_FOUND), 0 bytes\n"
                         "  no device is named \\\\.\\NOPE: check --device (the name after \\\\.\\)\n"
                         "pdctl> state\n"
                         "state: driver kelvane loaded, device \\\\.\\KELVANEDEV (started)\n"
                         "  open opens \\\\.\\NOPE (--device), not the driver's device\n"),
            std::string::npos)
      << run.out;
}

// A script stops at its bad line: the lines before it ran, those after it did not.
TEST(BadScript, StopsAtTheBadLineAndNamesIt) {
  std::string path = ::testing::TempDir() + "pdctl_bad_script-" + std::to_string(getpid()) + ".pd";
  {
    std::ofstream script(path);
    script << "# a script with a typo further down\nopen\n\nwrit hi\nread 2\n";
  }
  PdctlRun run = runPdctl({"--quiet-kd", "-f", path});
  std::remove(path.c_str());
  EXPECT_EQ(run.exit, 1);
  EXPECT_EQ(run.err, "pdctl: " + path + ":4: writ: unknown command: expected one of " + kCommands + "\n");
  EXPECT_NE(run.out.find("pdctl> open\n"), std::string::npos);
  EXPECT_EQ(run.out.find("pdctl> read 2"), std::string::npos);
}

TEST(BadScript, JsonReportsTheErrorAsAnObjectToo) {
  PdctlRun run = runPdctl({"--json", "--quiet-kd", "open; read x; state"});
  EXPECT_EQ(run.exit, 1);
  auto lines = linesOf(run.out);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(
      lines.back(),
      R"x({"error":"command 2: read: bad number 'x' for the read length: expected a 32-bit value in decimal or 0x-hex )x"
      R"x((e.g. 16 or 0x10)"})x");
  EXPECT_EQ(run.err,
            "pdctl: command 2: read: bad number 'x' for the read length: expected a 32-bit value in decimal or 0x-hex "
            "(e.g. 16 or 0x10)\n");
}

// At the prompt a bad command is reported and the session goes on.
TEST(BadPrompt, SessionGoesOnAfterABadCommand) {
  PdctlRun run = runPdctlOnTerminal({"--driver", "kelvane", "--quiet-kd"}, "frob\nopen\nwrite hi\nread 2\nquit\n");
  if (!run.unavailable.empty()) GTEST_SKIP() << run.unavailable;
  EXPECT_EQ(run.exit, 0) << run.out;
  EXPECT_NE(run.out.find("pdctl: frob: unknown command: expected one of " + kCommands), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("open: STATUS_SUCCESS (0x00000000), win32 0, 0 bytes, handle 1"), std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("read: STATUS_SUCCESS (0x00000000), win32 0, 2 bytes, handle 1"), std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("0000  68 69"), std::string::npos) << run.out;
}

// Tab completes a command's name; with --json an error is shown once, as its
// object (standard error would put a second copy on the same terminal).
TEST(BadPrompt, TabCompletesCommandsAndJsonShowsAnErrorOnce) {
  PdctlRun run = runPdctlOnTerminal({"--json", "--quiet-kd"}, "sta\t\nfrob\nquit\n");
  if (!run.unavailable.empty()) GTEST_SKIP() << run.unavailable;
  EXPECT_EQ(run.exit, 0) << run.out;
  EXPECT_NE(run.out.find(R"({"cmd":"state",)"), std::string::npos) << run.out;
  size_t first = run.out.find("unknown command");
  ASSERT_NE(first, std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("unknown command", first + 1), std::string::npos) << run.out;
}

}  // namespace
}  // namespace pdkit::test
