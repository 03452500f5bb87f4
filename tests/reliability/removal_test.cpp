// Requests that reach a driver after a remove-and-wait has begun on its
// remove lock, when every acquisition is refused: they are handled as before,
// and the driver gives back no acquisition it was never granted (a release
// without an acquisition is Driver Verifier's 0xC4/0xD5, and on Windows it
// lets the wait end while requests are still in flight).
#include "reliability_fixture.h"

#include <vector>

namespace pdkit::test::reliability {
namespace {

class RemovalTest : public ReliabilityTest, public ::testing::WithParamInterface<DriverKind> {};

TEST_P(RemovalTest, PnpRequestsAfterARemoveAndWaitAreRefusedAndLeaveTheLockAlone) {
  boot(GetParam());
  auto handle = open();
  machine->close(handle);
  {
    RemoveAndWait removal(&extension()->RemoveLock);
    removal.join();
    EXPECT_TRUE(removal.finished());
  }
  ASSERT_EQ(lockCount(), 0);
  size_t busBefore = node->busRecords().size();
  for (int minor = 0; minor <= IRP_MN_SURPRISE_REMOVAL; ++minor) {
    // The removal itself is what ends a remove-and-wait; it is not sent to a lock another has removed.
    if (minor == IRP_MN_REMOVE_DEVICE) continue;
    SCOPED_TRACE("minor " + std::to_string(minor));
    auto result = machine->pnp(*node, static_cast<UCHAR>(minor));
    EXPECT_EQ(result.status, STATUS_DELETE_PENDING);
    EXPECT_EQ(lockCount(), 0);
  }
  // Nothing went down to a bus the device may already have left.
  EXPECT_EQ(node->busRecords().size(), busBefore);
  EXPECT_EQ(machine->open(GetParam().device).result.status, STATUS_DELETE_PENDING);
  expectNoViolations();
  machine->clearViolations();
  unloadClean();
}

TEST_P(RemovalTest, RequestsOnAHandleOpenAcrossARemoveAndWaitAreServedAndTheWaitEndsAtClose) {
  boot(GetParam());
  auto handle = open();
  Bytes data = pattern(48, 0x40);
  if (GetParam().hasStore) {
    ASSERT_EQ(writeBytes(handle, data).information, 48u);
  }
  RemoveAndWait removal(&extension()->RemoveLock);
  // The wait holds while the handle is open; meanwhile the handle's requests
  // find the lock refusing them.
  ASSERT_TRUE(eventually([&] { return removal.begun(); }));
  EXPECT_FALSE(removal.finished());
  Bytes reply;
  if (GetParam().hasStore) {
    EXPECT_EQ(read(handle, 48, &reply).information, 48u);
    EXPECT_EQ(reply, data);
    EXPECT_EQ(writeBytes(handle, pattern(8, 1)).information, 8u);
    EXPECT_EQ(read(handle, 0, &reply).status, STATUS_SUCCESS);
  }
  auto description = control(handle, IOCTL_GET_DESCRIPTION, 512, &reply);
  EXPECT_EQ(description.status, STATUS_SUCCESS);
  EXPECT_GT(description.information, 0u);
  EXPECT_EQ(control(handle, IOCTL_GET_CAPABILITY_TABLE, sizeof(CAPABILITY_TABLE), &reply).status, STATUS_SUCCESS);
  EXPECT_EQ(control(handle, IOCTL_GET_CAPABILITY_TABLE, 8, &reply).status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(control(handle, 0x222008, 64, &reply).status, STATUS_INVALID_DEVICE_REQUEST);
  // Only the handle's own acquisition is left; the wait ends when it goes.
  EXPECT_EQ(lockCount(), 1);
  EXPECT_FALSE(removal.finished());
  EXPECT_EQ(machine->close(handle).status, STATUS_SUCCESS);
  removal.join();
  EXPECT_TRUE(removal.finished());
  EXPECT_EQ(lockCount(), 0);
  expectNoViolations();
  machine->clearViolations();
  unloadClean();
}

INSTANTIATE_TEST_SUITE_P(Drivers, RemovalTest, ::testing::ValuesIn(kAllDrivers), PrintKind);

}  // namespace
}  // namespace pdkit::test::reliability
