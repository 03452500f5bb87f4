// What the reliability tests share: a driver booted as in the driver tests,
// and the checks that a device is still whole and still serving after
// whatever was thrown at it.
#pragma once

#include "driver_fixture.h"

namespace pdkit::test::reliability {

class ReliabilityTest : public DriverTest {
 protected:
  // Every transfer length a program might choose, with a pattern of its own.
  static Bytes pattern(size_t length, uint8_t seed) {
    Bytes bytes(length);
    for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 13);
    return bytes;
  }

  // The device answers as it should: the store round-trips, the description
  // and the table come back, and a sleep and wake cycle goes through.
  void expectServing(const char* after) {
    SCOPED_TRACE(after);
    auto handle = open();
    ASSERT_NE(handle, 0u);
    if (kind_->hasStore) {
      Bytes data = pattern(100, 0x5A), back;
      EXPECT_EQ(writeBytes(handle, data).status, STATUS_SUCCESS);
      EXPECT_EQ(read(handle, 100, &back).information, 100u);
      EXPECT_EQ(back, data);
    }
    Bytes reply;
    EXPECT_EQ(control(handle, IOCTL_GET_DESCRIPTION, 512, &reply).status, STATUS_SUCCESS);
    EXPECT_EQ(control(handle, IOCTL_GET_CAPABILITY_TABLE, sizeof(CAPABILITY_TABLE), &reply).status, STATUS_SUCCESS);
    EXPECT_EQ(machine->systemPower(*node, PowerSystemSleeping3, PowerActionSleep).status, STATUS_SUCCESS);
    EXPECT_EQ(machine->systemPower(*node, PowerSystemWorking, PowerActionNone).status, STATUS_SUCCESS);
    EXPECT_TRUE(eventually([&] { return machine->busCompletionsInFlight() == 0; }));
    EXPECT_EQ(extension()->DevicePowerState, PowerDeviceD0);
    EXPECT_EQ(machine->close(handle).status, STATUS_SUCCESS);
    EXPECT_EQ(lockCount(), 1);
  }

  // The pool blocks a driver holds while its device exists: the store and the table.
  size_t deviceBlocks() const { return kind_->hasStore ? 2u : 1u; }

  // Unloads the driver and checks that it left nothing behind.
  void unloadClean() {
    machine->unload(*driver);
    EXPECT_EQ(machine->poolOutstanding(driver), 0u);
    EXPECT_EQ(machine->poolOutstanding(), 0u);
  }
};

}  // namespace pdkit::test::reliability
