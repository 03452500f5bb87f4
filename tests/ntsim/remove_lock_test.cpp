// Remove locks: the count, the tags held, remove-and-wait, and the checks
// Driver Verifier makes on the size and the tags.
#include "inproc.h"

#include <atomic>
#include <thread>

namespace pdkit::test {
namespace {

PVOID tag(uintptr_t value) { return reinterpret_cast<PVOID>(value); }

class RemoveLockTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    IoInitializeRemoveLock(&lock, 0x6B636F4C, 0, 0);
  }
  // A device whose extension is an initialised remove lock, which goes when the device is deleted.
  void createDeviceWithLock(PDEVICE_OBJECT& device, PIO_REMOVE_LOCK& inDevice) {
    ASSERT_EQ(IoCreateDevice(machine->createDriverObject(), sizeof(IO_REMOVE_LOCK), nullptr, FILE_DEVICE_UNKNOWN, 0,
                             FALSE, &device),
              STATUS_SUCCESS);
    inDevice = static_cast<PIO_REMOVE_LOCK>(device->DeviceExtension);
    IoInitializeRemoveLock(inDevice, 0x7665444C, 0, 0);
  }

  IO_REMOVE_LOCK lock;
};

static_assert(sizeof(IO_REMOVE_LOCK) == 0x18, "the x86 free-build size drivers pass");

TEST_F(RemoveLockTest, CountStartsAtOne) {
  EXPECT_EQ(machine->removeLockCount(&lock), 1);
  EXPECT_TRUE(machine->removeLockTags(&lock).empty());
}

TEST_F(RemoveLockTest, AcquisitionsAreTrackedPerTag) {
  EXPECT_EQ(IoAcquireRemoveLock(&lock, tag(0xA)), STATUS_SUCCESS);
  EXPECT_EQ(IoAcquireRemoveLock(&lock, tag(0xB)), STATUS_SUCCESS);
  EXPECT_EQ(IoAcquireRemoveLock(&lock, tag(0xA)), STATUS_SUCCESS);
  EXPECT_EQ(machine->removeLockCount(&lock), 4);
  EXPECT_EQ(machine->removeLockTags(&lock), (std::vector<PVOID>{tag(0xA), tag(0xB), tag(0xA)}));
  IoReleaseRemoveLock(&lock, tag(0xB));
  EXPECT_EQ(machine->removeLockCount(&lock), 3);
  EXPECT_EQ(machine->removeLockTags(&lock), (std::vector<PVOID>{tag(0xA), tag(0xA)}));
  IoReleaseRemoveLock(&lock, tag(0xA));
  IoReleaseRemoveLock(&lock, tag(0xA));
  EXPECT_EQ(machine->removeLockCount(&lock), 1);
  EXPECT_TRUE(machine->removeLockTags(&lock).empty());
}

TEST_F(RemoveLockTest, ReleaseWithATagNotHeldIsReportedAndChangesNothing) {
  expectViolations = true;
  IoAcquireRemoveLock(&lock, tag(0xA));
  IoReleaseRemoveLock(&lock, tag(0xC));
  EXPECT_EQ(machine->removeLockCount(&lock), 2);
  EXPECT_EQ(machine->removeLockTags(&lock), std::vector<PVOID>{tag(0xA)});
  auto found = violationsOf(*machine, "REMOVE_LOCK_RELEASE_UNKNOWN_TAG");
  ASSERT_EQ(found.size(), 1u);
  EXPECT_NE(found[0].detail.find(hexAddress(&lock)), std::string::npos) << found[0].detail;
  EXPECT_NE(found[0].detail.find("0xc"), std::string::npos) << found[0].detail;
  EXPECT_EQ(takeViolations(), std::vector<std::string>{"REMOVE_LOCK_RELEASE_UNKNOWN_TAG"});
  IoReleaseRemoveLock(&lock, tag(0xA));
}

TEST_F(RemoveLockTest, RemoveAndWaitWaitsForOutstandingAcquisitions) {
  ASSERT_EQ(IoAcquireRemoveLock(&lock, tag(0x1)), STATUS_SUCCESS);  // the remover's own
  ASSERT_EQ(IoAcquireRemoveLock(&lock, tag(0x2)), STATUS_SUCCESS);  // a request in flight
  std::atomic<bool> released{false};
  std::thread request([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    // Once removal started, new acquisitions fail.
    EXPECT_EQ(IoAcquireRemoveLock(&lock, tag(0x3)), STATUS_DELETE_PENDING);
    released = true;
    IoReleaseRemoveLock(&lock, tag(0x2));
  });
  IoReleaseRemoveLockAndWait(&lock, tag(0x1));
  EXPECT_TRUE(released.load());
  request.join();
  EXPECT_EQ(machine->removeLockCount(&lock), 0);
  EXPECT_EQ(IoAcquireRemoveLock(&lock, tag(0x4)), STATUS_DELETE_PENDING);
  EXPECT_EQ(machine->removeLockCount(&lock), 0);
  EXPECT_TRUE(machine->removeLockTags(&lock).empty());
}

TEST_F(RemoveLockTest, RemoveAndWaitWithNothingOutstandingReturnsAtOnce) {
  ASSERT_EQ(IoAcquireRemoveLock(&lock, tag(0x1)), STATUS_SUCCESS);
  machine->setHangTimeout(std::chrono::milliseconds(2000));
  auto start = std::chrono::steady_clock::now();
  IoReleaseRemoveLockAndWait(&lock, tag(0x1));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
  EXPECT_EQ(machine->removeLockCount(&lock), 0);
}

TEST_F(RemoveLockTest, SizeArgumentIsChecked) {
  expectViolations = true;
  IO_REMOVE_LOCK other;
  IoInitializeRemoveLockEx(&other, 0x7268744F, 0, 0, sizeof(IO_REMOVE_LOCK) + 8);
  IoAcquireRemoveLockEx(&lock, tag(0x5), "here.c", 7, 0x20);
  IoReleaseRemoveLockEx(&lock, tag(0x5), 4);
  auto found = violationsOf(*machine, "REMOVE_LOCK_BAD_SIZE");
  ASSERT_EQ(found.size(), 3u);
  EXPECT_NE(found[0].detail.find(hexAddress(&other)), std::string::npos) << found[0].detail;
  EXPECT_NE(found[0].detail.find("0x20"), std::string::npos) << found[0].detail;
  EXPECT_NE(found[1].detail.find(hexAddress(&lock)), std::string::npos) << found[1].detail;
  EXPECT_NE(found[0].detail.find("0x18"), std::string::npos) << found[0].detail;
  takeViolations();
}

TEST_F(RemoveLockTest, InitialisingTwiceIsReported) {
  expectViolations = true;
  IoInitializeRemoveLock(&lock, 0x6B636F4C, 0, 0);
  auto found = violationsOf(*machine, "REMOVE_LOCK_INITIALISED_TWICE");
  ASSERT_EQ(found.size(), 1u);
  EXPECT_NE(found[0].detail.find(hexAddress(&lock)), std::string::npos);
  takeViolations();
}

TEST_F(RemoveLockTest, LockHeldWhenItsDeviceIsDeletedIsReported) {
  expectViolations = true;
  PDEVICE_OBJECT device = nullptr;
  PIO_REMOVE_LOCK inDevice = nullptr;
  ASSERT_NO_FATAL_FAILURE(createDeviceWithLock(device, inDevice));
  IoAcquireRemoveLockEx(inDevice, tag(0x77), "drvmain.c", 123, sizeof(IO_REMOVE_LOCK));
  std::string lockAddress = hexAddress(inDevice);
  IoDeleteDevice(device);
  auto found = violationsOf(*machine, "REMOVE_LOCK_HELD_AT_DELETE");
  ASSERT_EQ(found.size(), 1u);
  EXPECT_NE(found[0].detail.find(lockAddress), std::string::npos) << found[0].detail;
  EXPECT_NE(found[0].detail.find("drvmain.c:123"), std::string::npos) << found[0].detail;
  EXPECT_NE(found[0].detail.find("0x77"), std::string::npos) << found[0].detail;
  takeViolations();
}

// Of two acquisitions with one tag, a release gives back the later one, as
// the kernel's tracking list (newest first) finds it; what is still held is
// the earlier one, and its deletion report names where it was taken.
TEST_F(RemoveLockTest, ReleaseGivesBackTheLatestAcquisitionOfItsTag) {
  expectViolations = true;
  PDEVICE_OBJECT device = nullptr;
  PIO_REMOVE_LOCK inDevice = nullptr;
  ASSERT_NO_FATAL_FAILURE(createDeviceWithLock(device, inDevice));
  IoAcquireRemoveLockEx(inDevice, tag(0x5), "first.c", 10, sizeof(IO_REMOVE_LOCK));
  IoAcquireRemoveLockEx(inDevice, tag(0x6), "other.c", 20, sizeof(IO_REMOVE_LOCK));
  IoAcquireRemoveLockEx(inDevice, tag(0x5), "second.c", 30, sizeof(IO_REMOVE_LOCK));
  IoReleaseRemoveLock(inDevice, tag(0x5));
  IoReleaseRemoveLock(inDevice, tag(0x6));
  EXPECT_EQ(machine->removeLockTags(inDevice), std::vector<PVOID>{tag(0x5)});
  EXPECT_EQ(machine->removeLockCount(inDevice), 2);
  IoDeleteDevice(device);
  auto found = violationsOf(*machine, "REMOVE_LOCK_HELD_AT_DELETE");
  ASSERT_EQ(found.size(), 1u);
  EXPECT_NE(found[0].detail.find("first.c:10"), std::string::npos) << found[0].detail;
  takeViolations();
}

// A lock whose device is gone is unknown again: later calls on its memory are reported, not tracked.
TEST_F(RemoveLockTest, ALockWhoseDeviceWasDeletedIsNoLongerKnown) {
  expectViolations = true;
  PDEVICE_OBJECT device = nullptr;
  PIO_REMOVE_LOCK inDevice = nullptr;
  ASSERT_NO_FATAL_FAILURE(createDeviceWithLock(device, inDevice));
  // Kept past its deletion by a reference, as a driver's late call would find it.
  ASSERT_EQ(IoGetAttachedDeviceReference(device), device);
  IoDeleteDevice(device);
  EXPECT_EQ(IoAcquireRemoveLock(inDevice, tag(0x9)), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(violationsOf(*machine, "REMOVE_LOCK_UNKNOWN").size(), 1u);
  EXPECT_TRUE(machine->removeLockTags(inDevice).empty());
  // Initialised again, it is a new lock: no report of a second initialisation.
  IoInitializeRemoveLock(inDevice, 0x7665444C, 0, 0);
  EXPECT_EQ(IoAcquireRemoveLock(inDevice, tag(0x9)), STATUS_SUCCESS);
  IoReleaseRemoveLock(inDevice, tag(0x9));
  EXPECT_TRUE(violationsOf(*machine, "REMOVE_LOCK_INITIALISED_TWICE").empty());
  takeViolations();
  ObDereferenceObject(device);
}

// Many locks live at once (more than fit the fast table) are each tracked on their own.
TEST_F(RemoveLockTest, ManyLocksAreTrackedApart) {
  std::vector<IO_REMOVE_LOCK> locks(3000);
  for (auto& each : locks) IoInitializeRemoveLock(&each, 0x6B636F4C, 0, 0);
  for (size_t i = 0; i < locks.size(); ++i) {
    for (size_t n = 0; n <= i % 3; ++n) EXPECT_EQ(IoAcquireRemoveLock(&locks[i], tag(i + 1)), STATUS_SUCCESS);
  }
  for (size_t i = 0; i < locks.size(); ++i) {
    ASSERT_EQ(machine->removeLockCount(&locks[i]), LONG(2 + i % 3)) << i;
    ASSERT_EQ(machine->removeLockTags(&locks[i]), std::vector<PVOID>(i % 3 + 1, tag(i + 1))) << i;
    for (size_t n = 0; n <= i % 3; ++n) IoReleaseRemoveLock(&locks[i], tag(i + 1));
    ASSERT_EQ(machine->removeLockCount(&locks[i]), 1) << i;
  }
}

}  // namespace
}  // namespace pdkit::test
