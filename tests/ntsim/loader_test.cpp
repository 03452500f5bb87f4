// Loading, AddDevice, unloading and loading again: every load has its own
// globals, and a module that cannot be a driver is refused clearly.
#include "inproc.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace pdkit::test {
namespace {

// A module's writable segments hold AddressSanitizer's redzones between its
// globals: a test reading or writing all of them must do it unchecked.
__attribute__((no_sanitize("address", "thread"))) void transform(std::span<std::byte> bytes,
                                                                 std::vector<std::byte>* saveTo, bool flip) {
  volatile std::byte* at = bytes.data();
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::byte value = at[i];
    if (saveTo != nullptr) saveTo->push_back(value);
    if (flip) at[i] = ~value;
  }
}

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

TEST_F(LoaderTest, SecondAddDeviceOfADriverThatNamesItsDeviceCollides) {
  ntsim::Driver& driver = machine->load(driverPath("hello"));
  ntsim::DeviceNode& first = machine->addDevice(driver);
  ntsim::DeviceNode& second = machine->addDevice(driver);
  EXPECT_EQ(first.addDeviceStatus(), STATUS_SUCCESS);
  EXPECT_EQ(second.addDeviceStatus(), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_NE(first.fdo(), nullptr);
  EXPECT_EQ(second.fdo(), nullptr);
  EXPECT_EQ(driver.object()->DeviceObject, first.fdo());
  EXPECT_EQ(driver.object()->DeviceObject->NextDevice, nullptr);
  machine->unload(driver);
}

TEST_F(LoaderTest, SameModuleLoadedTwiceHasTwoSetsOfGlobals) {
  ntsim::Driver& a = machine->load(driverPath("hello"));
  ntsim::Driver& b = machine->load(driverPath("hello"));
  EXPECT_NE(a.object(), b.object());
  EXPECT_EQ(machine->addDevice(a).addDeviceStatus(), STATUS_SUCCESS);
  EXPECT_EQ(machine->addDevice(b).addDeviceStatus(), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(machine->drivers().size(), 2u);
  machine->unload(b);
  machine->unload(a);
  EXPECT_TRUE(machine->drivers().empty());

  ntsim::Driver& p = machine->load(driverPath("probe"));
  ntsim::Driver& q = machine->load(driverPath("probe"));
  auto calls = [](ntsim::Driver& d) { return reinterpret_cast<int (*)()>(d.symbol("ProbeEntryCalls"))(); };
  reinterpret_cast<void (*)()>(p.symbol("ProbeBump"))();
  EXPECT_EQ(calls(p), 2);
  EXPECT_EQ(calls(q), 1);
}

TEST_F(LoaderTest, DriverEntrySeesEveryMajorFunctionAsTheDefault) {
  ntsim::Driver& probe = machine->load(driverPath("probe"));
  auto seen = reinterpret_cast<int (*)()>(probe.symbol("ProbeDefaultsSeen"));
  ASSERT_NE(seen, nullptr);
  EXPECT_EQ(seen(), 1);
  EXPECT_EQ(probe.object()->MajorFunction[IRP_MJ_READ], machine->createDriverObject()->MajorFunction[IRP_MJ_READ]);
}

TEST_F(LoaderTest, UnloadThenLoadAgainStartsFromFreshGlobals) {
  ntsim::Driver& first = machine->load(driverPath("probe"));
  auto calls = reinterpret_cast<int (*)()>(first.symbol("ProbeEntryCalls"));
  ASSERT_NE(calls, nullptr);
  EXPECT_EQ(calls(), 1);
  reinterpret_cast<void (*)()>(first.symbol("ProbeBump"))();
  EXPECT_EQ(calls(), 2);
  machine->unload(first);
  EXPECT_FALSE(first.loaded());
  EXPECT_EQ(first.symbol("ProbeEntryCalls"), nullptr);

  ntsim::Driver& again = machine->load(driverPath("probe"));
  auto callsAgain = reinterpret_cast<int (*)()>(again.symbol("ProbeEntryCalls"));
  EXPECT_EQ(callsAgain(), 1);
  EXPECT_EQ(kd(), (std::vector<std::string>{"probe: entry 1\r\n", "probe: unload after 2\r\n", "probe: entry 1\r\n"}));
}

TEST_F(LoaderTest, MissingModuleIsAClearError) {
  std::string path = driverPath("no_such_driver");
  try {
    machine->load(path);
    FAIL() << "loaded a module that does not exist";
  } catch (const std::runtime_error& error) {
    std::string what = error.what();
    EXPECT_NE(what.find(path), std::string::npos) << what;
    EXPECT_NE(what.find("does not exist"), std::string::npos) << what;
  }
  EXPECT_TRUE(machine->drivers().empty());
}

TEST_F(LoaderTest, ModuleWithoutDriverEntryIsAClearError) {
  try {
    machine->load(driverPath("no_entry"));
    FAIL() << "loaded a module without DriverEntry";
  } catch (const std::runtime_error& error) {
    std::string what = error.what();
    EXPECT_NE(what.find("no_entry.so"), std::string::npos) << what;
    EXPECT_NE(what.find("has no DriverEntry"), std::string::npos) << what;
  }
  EXPECT_TRUE(machine->drivers().empty());
}

TEST_F(LoaderTest, FileThatIsNotASharedObjectIsAClearError) {
  auto path = std::filesystem::temp_directory_path() / "ntsim-not-a-module.so";
  std::ofstream(path) << "not an ELF file\n";
  try {
    machine->load(path.string());
    FAIL() << "loaded a text file";
  } catch (const std::runtime_error& error) {
    EXPECT_NE(std::string(error.what()).find("cannot load driver module"), std::string::npos) << error.what();
  }
  std::filesystem::remove(path);
}

TEST_F(LoaderTest, ImageResetPutsBackEveryWritableByteAndLoadsAsAFreshModule) {
  ntsim::ModuleImage image(driverPath("probe"));
  ntsim::Driver& first = machine->load(image);
  reinterpret_cast<void (*)()>(first.symbol("ProbeBump"))();
  EXPECT_THROW(machine->load(image), std::logic_error);
  machine->unload(first);

  std::vector<std::byte> loaded, dirty;
  image.reset();
  size_t total = 0;
  for (auto range : image.writableBytes()) {
    transform(range, &loaded, true);
    total += range.size();
  }
  ASSERT_GT(total, 0u);
  for (auto range : image.writableBytes()) transform(range, &dirty, false);
  for (size_t i = 0; i < total; ++i) ASSERT_EQ(dirty[i], ~loaded[i]) << "byte " << i << " was not dirtied";
  image.reset();
  std::vector<std::byte> restored;
  for (auto range : image.writableBytes()) transform(range, &restored, false);
  EXPECT_EQ(restored, loaded);

  ntsim::Driver& again = machine->load(image);
  EXPECT_EQ(reinterpret_cast<int (*)()>(again.symbol("ProbeEntryCalls"))(), 1);
  reinterpret_cast<void (*)()>(again.symbol("ProbeBump"))();
  machine->unload(again);
  image.remap();
  EXPECT_EQ(reinterpret_cast<int (*)()>(machine->load(image).symbol("ProbeEntryCalls"))(), 1);
  EXPECT_EQ(kd(), (std::vector<std::string>{"probe: entry 1\r\n", "probe: unload after 2\r\n", "probe: entry 1\r\n",
                                            "probe: unload after 2\r\n", "probe: entry 1\r\n"}));
}

// Loading writes no file: nothing is left in the temporary folder, and a
// link planted where a copy could once be expected is not followed.
TEST_F(LoaderTest, LoadingLeavesNoFileAndFollowsNoPlantedLink) {
  namespace fs = std::filesystem;
  char pattern[] = "/tmp/ntsim-loader-test-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  fs::path tmp = pattern, target = tmp / "target";
  fs::create_directory(target);
  fs::create_directory_symlink(target, tmp / ("ntsim-" + std::to_string(getpid())));
  const char* old = std::getenv("TMPDIR");
  std::string saved = old != nullptr ? old : "";
  setenv("TMPDIR", tmp.c_str(), 1);
  std::ofstream(tmp / "not-a-module.so") << "not an ELF file\n";
  ntsim::Driver& probe = machine->load(driverPath("probe"));
  EXPECT_TRUE(fs::is_empty(target));
  machine->unload(probe);
  try {
    machine->load((tmp / "not-a-module.so").string());
    FAIL() << "loaded a text file";
  } catch (const std::runtime_error& error) {
    EXPECT_EQ(std::string(error.what()).find("/proc/"), std::string::npos) << error.what();
  }
  old != nullptr ? setenv("TMPDIR", saved.c_str(), 1) : unsetenv("TMPDIR");
  size_t entries = 0;
  for ([[maybe_unused]] auto& entry : fs::directory_iterator(tmp)) ++entries;
  EXPECT_EQ(entries, 3u);
  EXPECT_TRUE(fs::is_empty(target));
  fs::remove_all(tmp);
}

TEST_F(LoaderTest, FailedDriverEntryIsNotLoadedAndItsUnloadNeverRuns) {
  try {
    machine->load(driverPath("failing_entry"));
    FAIL() << "a failed DriverEntry loaded the driver";
  } catch (const std::runtime_error& error) {
    EXPECT_NE(std::string(error.what()).find("STATUS_INSUFFICIENT_RESOURCES"), std::string::npos) << error.what();
  }
  EXPECT_EQ(kd(), std::vector<std::string>{"failing_entry: entry\r\n"});
  EXPECT_TRUE(machine->drivers().empty());
}

}  // namespace
}  // namespace pdkit::test
