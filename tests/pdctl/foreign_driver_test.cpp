// Drivers written as any WDM developer writes them, under pdctl: the
// mailbox example's reads that time out, are cancelled or get mail while
// pdctl goes on, and a driver that crashes, which is a bug check report and
// exit status 2 after everything before it.
#include "pdctl_run.h"
#include "sanitizer.h"

#include <gtest/gtest.h>

namespace pdkit::test {
namespace {

TEST(ForeignDriver, MailboxReadTakesMailThenTimesOutCleanly) {
  PdctlRun run = runPdctl(
      {"--driver", modulePath("mailbox"), "--device", "MAILBOX", "open; write hi; read 8; read 8; close; unload"});
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exit, 0);
  auto lines = linesOf(run.out);
  const std::vector<std::string> tail = {"pdctl> read 8",
                                         "kd> mailbox: read 2 bytes of mail",
                                         "read: STATUS_SUCCESS (0x00000000), win32 0, 2 bytes, handle 1",
                                         "  0000  68 69                                            |hi|",
                                         "pdctl> read 8",
                                         "kd> mailbox: read waits for mail",
                                         "kd> mailbox: read timed out",
                                         "read: STATUS_IO_TIMEOUT (0xC00000B5), win32 121, 0 bytes, handle 1",
                                         "pdctl> close",
                                         "close: STATUS_SUCCESS (0x00000000), win32 0, 0 bytes, handle 1",
                                         "pdctl> unload",
                                         "kd> mailbox: unloaded",
                                         "unload: STATUS_SUCCESS (0x00000000), win32 0, 0 bytes"};
  ASSERT_GE(lines.size(), tail.size());
  EXPECT_EQ(std::vector<std::string>(lines.end() - static_cast<long>(tail.size()), lines.end()), tail);
}

TEST(ForeignDriver, AsyncReadsEndWithMailOrCancellationWhenWaitedFor) {
  PdctlRun run = runPdctl({"--quiet-kd", "--driver", modulePath("mailbox"), "--device", "MAILBOX",
                           "open; read --async 8; cancel; wait; cancel; read --async 1 8; write mail; wait 1"});
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exit, 0);
  auto lines = linesOf(run.out);
  const std::vector<std::string> tail = {
      "pdctl> read --async 8",
      "read: sent without waiting on handle 1 (1 pending); wait shows its result",
      "pdctl> cancel",
      "cancel: the oldest pending request of handle 1 was cancelled",
      "pdctl> wait",
      "read: STATUS_CANCELLED (0xC0000120), win32 995 (ERROR_OPERATION_ABORTED), 0 bytes, handle 1",
      "pdctl> cancel",
      "cancel: handle 1 had nothing pending to cancel",
      "pdctl> read --async 1 8",
      "read: sent without waiting on handle 1 (1 pending); wait shows its result",
      "pdctl> write mail",
      "write: STATUS_SUCCESS (0x00000000), win32 0, 4 bytes, handle 1",
      "pdctl> wait 1",
      "read: STATUS_SUCCESS (0x00000000), win32 0, 4 bytes, handle 1",
      "  0000  6d 61 69 6c                                      |mail|"};
  ASSERT_GE(lines.size(), tail.size());
  EXPECT_EQ(std::vector<std::string>(lines.end() - static_cast<long>(tail.size()), lines.end()), tail);
}

TEST(ForeignDriver, CrashIsABugCheckReportAndExitStatusTwo) {
  // pdctl is built with the same sanitizer, whose fault handler comes first.
  if (kSanitizerHandlesFaults) GTEST_SKIP() << "the sanitizer reports faults itself";
  PdctlRun run = runPdctl({"--bare", "--driver", modulePath("crash"), "--device", "CRASH", "open; ioctl 0x222004"});
  EXPECT_EQ(run.exit, 2);
  EXPECT_EQ(run.err, "");
  auto lines = linesOf(run.out);
  ASSERT_EQ(lines.size(), 7u) << run.out;
  EXPECT_EQ(lines[0], "boot load crash: STATUS_SUCCESS (0x00000000), win32 0, 0 bytes");
  EXPECT_EQ(lines[5], "kd> crash: control 222004");
  EXPECT_TRUE(lines[6].starts_with("!! verifier: BUGCHECK: 0x50 PAGE_FAULT_IN_NONPAGED_AREA (0x0, 0x0, 0x"))
      << lines[6];
  EXPECT_NE(lines[6].find(" in crash!CrashDeviceControl+0x"), std::string::npos) << lines[6];
  EXPECT_NE(lines[6].find("(IRP_MJ_DEVICE_CONTROL); last debugger lines: \"crash: control 222004\""), std::string::npos)
      << lines[6];
}

}  // namespace
}  // namespace pdkit::test
