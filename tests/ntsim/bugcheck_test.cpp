// A fault inside driver code stops the machine with the bug check Windows
// would show, naming the routine, the IRP and the last debugger lines, and
// the process ends with exit status 2.
#include "sanitizer.h"
#include "inproc.h"

namespace pdkit::test {
namespace {

void crashWith(ULONG function) {
  ntsim::Machine machine;
  ntsim::Driver& driver = machine.load(driverPath("crash"));
  auto open = machine.open("\\\\.\\CRASH");
  machine.deviceIoControl(open.handle, CTL_CODE(FILE_DEVICE_UNKNOWN, function, METHOD_BUFFERED, 0), nullptr, 0, nullptr,
                          0);
  machine.unload(driver);
}

TEST(BugCheckTest, FaultInDriverCodeIsABugCheckNamingRoutineIrpAndDebuggerLines) {
  // A sanitizer's own fault handler comes first, and ntsim leaves it in place.
  if (kSanitizerHandlesFaults) GTEST_SKIP() << "the sanitizer reports faults itself";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  struct Case {
    ULONG function;
    const char* report;
  };
  const Case cases[] = {
      {0x801, "0x50 PAGE_FAULT_IN_NONPAGED_AREA \\(0x0, 0x0, 0x[0-9a-f]+, 0x0\\)"},
      {0x802, "0xD1 DRIVER_IRQL_NOT_LESS_OR_EQUAL \\(0x0, 0x2, 0x1, 0x[0-9a-f]+\\)"},
      {0x803, "0x7E SYSTEM_THREAD_EXCEPTION_NOT_HANDLED \\(0xc0000094, "},
      {0x804, "0x7E SYSTEM_THREAD_EXCEPTION_NOT_HANDLED \\(0xc000001d, "},
  };
  for (const auto& c : cases) {
    char line[32];
    std::snprintf(line, sizeof line, "crash: control %x", CTL_CODE(FILE_DEVICE_UNKNOWN, c.function, 0, 0));
    std::string expected =
        std::string(c.report) +
        ".* in crash!CrashDeviceControl\\+0x[0-9a-f]+ at IRQL [02] while dispatching IRP 0x[0-9a-f]+ "
        "\\(IRP_MJ_DEVICE_CONTROL\\); last debugger lines: \"" +
        line + "\"";
    EXPECT_EXIT(crashWith(c.function), ::testing::ExitedWithCode(2), expected) << c.function;
  }
}

}  // namespace
}  // namespace pdkit::test
