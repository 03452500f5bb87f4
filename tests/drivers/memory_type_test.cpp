// The memory the drivers ask for: no-execute pool and mappings from Windows 8
// on, the kinds Windows XP knows before. ntsim reports the wrong kind on
// either side (executable memory under the code-integrity check, Windows 8
// types on XP), so a clean run on both proves the run-time choice.
#include "driver_fixture.h"

namespace pdkit::test {
namespace {

class MemoryTypeTest : public DriverTest, public ::testing::WithParamInterface<DriverKind> {};

TEST_P(MemoryTypeTest, PoolAndMappingsAreNoExecuteFromWindows8AndTheOldKindsOnXp) {
  const DriverKind& kind = GetParam();
  for (auto [windows, pool] : {std::pair{ntsim::WindowsVersion{5, 1, 2600}, NonPagedPool},
                               std::pair{ntsim::WindowsVersion{6, 2, 9200}, NonPagedPoolNx}}) {
    SCOPED_TRACE("Windows " + std::to_string(windows.major) + "." + std::to_string(windows.minor));
    machine.reset();
    machine = std::make_unique<ntsim::Machine>();
    machine->setWindowsVersion(windows);
    boot(kind);
    if (kind.hasStore) {
      EXPECT_EQ(machine->poolTypeOf(extension()->DataBuffer), pool);
    }
    ntsim::Handle handle = open();
    Bytes out;
    write(handle, "nx");
    read(handle, 2, &out);
    machine->close(handle);
    machine->unload(*driver);
    expectNoViolations();
    machine->clearViolations();
  }
}

INSTANTIATE_TEST_SUITE_P(Drivers, MemoryTypeTest, ::testing::ValuesIn(kAllDrivers), PrintKind);

}  // namespace
}  // namespace pdkit::test
