// The guided tour, as `make demo` runs it when piped (in CI, say): it runs
// through all three drivers at full speed, in plain text, and every step
// succeeds.
#include "pdctl_run.h"

#include <gtest/gtest.h>

#include <chrono>

namespace pdkit::test {
namespace {

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

TEST(Demo, ToursTheThreeDriversPlainAndUnpacedWhenPiped) {
  auto start = std::chrono::steady_clock::now();
  PdctlRun run = runPdctl({"demo"});
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exit, 0);
  EXPECT_EQ(run.out.find('\033'), std::string::npos) << "no colour when piped";
  EXPECT_LT(elapsed, std::chrono::seconds(30)) << "no pacing when piped";
  for (const char* heading :
       {"\nTavrin: direct I/O (\\\\.\\TAVRINDEV)\n", "\nKelvane: buffered I/O (\\\\.\\KELVANEDEV)\n",
        "\nOstrel: control codes only (\\\\.\\OSTRELDEV)\n"}) {
    EXPECT_EQ(count(run.out, heading), 1u) << heading;
  }
  EXPECT_EQ(count(run.out, "boot IRP_MN_QUERY_CAPABILITIES: STATUS_SUCCESS (0x00000000), win32 0, 0 bytes\n"), 3u);
  EXPECT_EQ(count(run.out,
                  "\nread: STATUS_SUCCESS (0x00000000), win32 0, 16 bytes, handle 1\n"
                  "  0000  48 65 6c 6c 6f 2c 20 54 61 76 72 69 6e 21 00 00  |Hello, Tavrin!..|\n"),
            1u);
  EXPECT_EQ(count(run.out,
                  "\nread: STATUS_SUCCESS (0x00000000), win32 0, 20 bytes, handle 1\n"
                  "  0000  48 65 6c 6c 6f 2c 20 4b 65 6c 76 61 6e 65 21 00  |Hello, Kelvane!.|\n"),
            1u);
  EXPECT_EQ(count(run.out,
                  "\nwrite: STATUS_INVALID_DEVICE_REQUEST (0xC0000010), win32 1 (ERROR_INVALID_FUNCTION), 0 "
                  "bytes, handle 1\n"),
            1u);
  EXPECT_EQ(count(run.out, "\ntable: STATUS_SUCCESS (0x00000000), win32 0, 64 bytes, handle 1\n"), 3u);
  EXPECT_EQ(count(run.out, "\nsleep PowerSystemSleeping3 (S3): STATUS_SUCCESS (0x00000000), win32 0, 0 bytes\n"), 3u);
  EXPECT_EQ(count(run.out, "  power: system 4 PowerSystemSleeping3 (S3), device 4 PowerDeviceD3"), 3u);
  EXPECT_EQ(count(run.out, "\nwake PowerSystemWorking (S0): STATUS_SUCCESS (0x00000000), win32 0, 0 bytes\n"), 3u);
  EXPECT_EQ(count(run.out, "  power: system 1 PowerSystemWorking (S0), device 1 PowerDeviceD0"), 6u);
  EXPECT_EQ(count(run.out, "\nunload: STATUS_SUCCESS (0x00000000), win32 0, 0 bytes\n"), 3u);
  EXPECT_EQ(count(run.out, "!! verifier"), 0u);
}

TEST(Demo, DriverOptionToursOneDriver) {
  PdctlRun run = runPdctl({"--driver", "ostrel", "demo"});
  EXPECT_EQ(run.exit, 0);
  EXPECT_EQ(count(run.out, "\nOstrel: control codes only"), 1u);
  EXPECT_EQ(count(run.out, "\nTavrin:"), 0u);
  EXPECT_EQ(count(run.out, "\nKelvane:"), 0u);
  EXPECT_EQ(count(run.out, "\nunload: STATUS_SUCCESS"), 1u);
}

TEST(Demo, RefusesJson) {
  PdctlRun run = runPdctl({"--json", "demo"});
  EXPECT_EQ(run.exit, 1);
  EXPECT_EQ(run.err,
            "pdctl: demo: the tour is for people to read; for --json, run the commands yourself (pdctl --json "
            "\"open; write hi; read 2\")\n");
}

}  // namespace
}  // namespace pdkit::test
