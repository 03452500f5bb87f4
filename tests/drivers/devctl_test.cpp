// Device-control requests: the description text, the capability table with
// its dump, unknown codes and short buffers, over the three drivers.
#include "driver_fixture.h"

namespace pdkit::test {
namespace {

class DeviceControlTest : public DriverTest, public ::testing::WithParamInterface<DriverKind> {
 protected:
  // The lines around a request's own lines: Begin and End, except on the control driver.
  Lines framed(const Lines& inner) const {
    if (kind_->tracesFrame) return inner;
    return concat({{"IRP_MJ_DEVICE_IO_CONTROL : Begin\r\n"}, inner, {"IRP_MJ_DEVICE_IO_CONTROL : End\r\n"}});
  }

  Bytes description() const {
    const UNICODE_STRING& text = extension()->DeviceDescription;
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.Buffer);
    return Bytes(bytes, bytes + text.Length);
  }
};

TEST_P(DeviceControlTest, TableBeforeAnyQueryIsAllZeroAndDumped) {
  boot(GetParam(), {.start = false});
  auto handle = open();
  machine->clearDebugOutput();
  Bytes reply;
  auto result = control(handle, IOCTL_GET_CAPABILITY_TABLE, 64, &reply);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, 64u);
  EXPECT_EQ(reply, Bytes(64, 0));
  CAPABILITY_TABLE zero{};
  EXPECT_EQ(kd(), framed(tableDump(zero)));
  EXPECT_EQ(kd()[kind_->tracesFrame ? 0 : 1], "Support Query Device Capability : No\r\n");
  machine->close(handle);
  EXPECT_EQ(lockCount(), 1);
}

TEST_P(DeviceControlTest, TableAfterAQueryMatchesTheReportByteForByte) {
  boot(GetParam(), {.start = false});
  DEVICE_CAPABILITIES report = ntsim::rootBusCapabilities();
  report.DeviceD1 = 1;
  report.WakeFromD2 = 1;
  report.SystemWake = PowerSystemSleeping1;
  report.DeviceWake = PowerDeviceD1;
  setReport(report);
  ASSERT_EQ(machine->queryCapabilities(*node).status, STATUS_SUCCESS);
  auto handle = open();
  machine->clearDebugOutput();
  Bytes reply;
  auto result = control(handle, IOCTL_GET_CAPABILITY_TABLE, 64, &reply);
  ASSERT_EQ(result.status, STATUS_SUCCESS);
  ASSERT_EQ(result.information, 64u);
  // Little-endian, field by field, the reserved bytes included.
  Bytes expected(64, 0);
  auto put = [&](size_t offset, uint32_t value) {
    for (int i = 0; i < 4; ++i) expected[offset + i] = static_cast<uint8_t>(value >> (8 * i));
  };
  expected[0] = 1;
  put(0x04, 1);                     // DeviceD1
  put(0x14, 1);                     // WakeFromD2
  put(0x1C, PowerSystemSleeping1);  // SystemWake
  put(0x20, PowerDeviceD1);         // DeviceWake
  for (int i = 0; i < 7; ++i) put(0x24 + 4 * i, report.DeviceState[i]);
  EXPECT_EQ(reply, expected);
  CAPABILITY_TABLE parsed;
  std::memcpy(&parsed, reply.data(), 64);
  EXPECT_EQ(kd(), framed(tableDump(parsed)));
  EXPECT_EQ(kd()[kind_->tracesFrame ? 0 : 1], "Support Query Device Capability : Yes\r\n");
  EXPECT_EQ(kd()[kind_->tracesFrame ? 7 : 8], "SystemWake : 2\r\n");
  EXPECT_EQ(kd()[kind_->tracesFrame ? 8 : 9], "DeviceWake : 2\r\n");
  machine->close(handle);
}

TEST_P(DeviceControlTest, DescriptionIsTheTextWithoutANull) {
  boot(GetParam());
  auto handle = open();
  machine->clearDebugOutput();
  Bytes reply;
  auto result = control(handle, IOCTL_GET_DESCRIPTION, 512, &reply);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  Bytes text = description();
  ASSERT_EQ(result.information, text.size());
  EXPECT_EQ(text.size() % 2, 0u);
  EXPECT_EQ(Bytes(reply.begin(), reply.begin() + text.size()), text);
  EXPECT_EQ(kd(), framed({}));
  machine->close(handle);
}

TEST_P(DeviceControlTest, InputNeverChangesAReply) {
  boot(GetParam());
  auto handle = open();
  Bytes plain, withInput;
  control(handle, IOCTL_GET_DESCRIPTION, 512, &plain);
  auto result = control(handle, IOCTL_GET_DESCRIPTION, 512, &withInput, Bytes(700, 0x5A));
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, description().size());
  EXPECT_EQ(Bytes(withInput.begin(), withInput.begin() + result.information),
            Bytes(plain.begin(), plain.begin() + result.information));
  Bytes table1, table2;
  control(handle, IOCTL_GET_CAPABILITY_TABLE, 64, &table1);
  control(handle, IOCTL_GET_CAPABILITY_TABLE, 64, &table2, Bytes(64, 0xFF));
  EXPECT_EQ(table1, table2);
  machine->close(handle);
}

TEST_P(DeviceControlTest, OtherCodesAreInvalidEvenWhenNearlyRight) {
  boot(GetParam());
  auto handle = open();
  const ULONG codes[] = {0x222008,                                                                 // the next function
                         0x221FFC,                                                                 // the one before
                         CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_IN_DIRECT, 0),                // method differs
                         CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_NEITHER, 0),                  //
                         CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_READ_ACCESS),  // access differs
                         CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_WRITE_ACCESS),
                         CTL_CODE(0x23, 0x800, METHOD_BUFFERED, 0),  // device type differs
                         0,
                         0xFFFFFFFF};
  for (ULONG code : codes) {
    SCOPED_TRACE(::testing::Message() << "code " << std::hex << code);
    machine->clearDebugOutput();
    Bytes reply;
    auto result = control(handle, code, 64, &reply);
    EXPECT_EQ(result.status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(result.information, 0u);
    EXPECT_EQ(result.win32, 1u);
    EXPECT_EQ(reply, Bytes(64, 0xEE));
    EXPECT_EQ(kd(), framed({}));
  }
  machine->close(handle);
  EXPECT_EQ(lockCount(), 1);
}

TEST_P(DeviceControlTest, AShortOrMissingBufferGetsBufferTooSmallAndNoBytes) {
  boot(GetParam());
  auto handle = open();
  ULONG descriptionLength = static_cast<ULONG>(description().size());
  struct Case {
    ULONG code;
    ULONG outLength;
  };
  const Case cases[] = {{IOCTL_GET_CAPABILITY_TABLE, 0},
                        {IOCTL_GET_CAPABILITY_TABLE, 63},
                        {IOCTL_GET_CAPABILITY_TABLE, 1},
                        {IOCTL_GET_DESCRIPTION, 0},
                        {IOCTL_GET_DESCRIPTION, descriptionLength - 1},
                        {IOCTL_GET_DESCRIPTION, 2}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "code " << std::hex << c.code << " out " << std::dec << c.outLength);
    machine->clearDebugOutput();
    Bytes reply;
    auto result = control(handle, c.code, c.outLength, &reply);
    EXPECT_EQ(result.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result.information, 0u);
    EXPECT_EQ(result.win32, 122u);
    EXPECT_EQ(reply, Bytes(c.outLength, 0xEE));
    EXPECT_EQ(kd(), framed({})) << "the table is dumped only for a request that receives it";
  }
  // Exactly the reply's size is enough.
  Bytes reply;
  EXPECT_EQ(control(handle, IOCTL_GET_DESCRIPTION, descriptionLength, &reply).information, descriptionLength);
  EXPECT_EQ(control(handle, IOCTL_GET_CAPABILITY_TABLE, 64, &reply).information, 64u);
  machine->close(handle);
  EXPECT_EQ(lockCount(), 1);
}

INSTANTIATE_TEST_SUITE_P(Drivers, DeviceControlTest, ::testing::ValuesIn(kAllDrivers), PrintKind);

}  // namespace
}  // namespace pdkit::test
