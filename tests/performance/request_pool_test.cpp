// No driver allocates pool on a request path: every read, write, device
// control, PnP and power request is served from what AddDevice set up.
// Each request is also checked for the answer it must give, so that a
// request that went nowhere cannot pass for one that allocated nothing.
#include "driver_fixture.h"

#include <functional>

namespace pdkit::test {
namespace {

class RequestPoolTest : public DriverTest, public ::testing::WithParamInterface<DriverKind> {
 protected:
  // Runs one request and checks that it allocated no pool.
  void expectNoPool(const std::string& what, const std::function<void()>& request) {
    size_t before = machine->poolAllocations();
    request();
    EXPECT_EQ(machine->poolAllocations(), before) << what << " allocated pool";
    EXPECT_EQ(machine->poolOutstanding(driver), outstanding_) << what << " left pool behind";
  }

  void bootAndCount() {
    boot(GetParam());
    outstanding_ = machine->poolOutstanding(driver);
    // The store (on drivers with one) and the capability table.
    ASSERT_EQ(outstanding_, GetParam().hasStore ? 2u : 1u);
  }

  size_t outstanding_ = 0;
};

TEST_P(RequestPoolTest, ReadsWritesAndOpensAllocateNothing) {
  bootAndCount();
  const bool store = GetParam().hasStore;
  ntsim::Handle handle = 0;
  expectNoPool("open", [&] { handle = open(); });
  for (ULONG length : {0u, 16u, 1024u, 2000u}) {
    const std::string size = std::to_string(length) + " bytes";
    expectNoPool("write of " + size, [&] {
      Bytes data(length, 0x3C);
      auto result = writeBytes(handle, data);
      EXPECT_EQ(result.status, store ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST) << size;
      EXPECT_EQ(result.information, store ? std::min<ULONG>(length, DATA_BUFFER_SIZE) : 0u) << size;
    });
    expectNoPool("read of " + size, [&] {
      Bytes out;
      auto result = read(handle, length, &out);
      EXPECT_EQ(result.status, store ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST) << size;
      EXPECT_EQ(result.information, store ? std::min<ULONG>(length, DATA_BUFFER_SIZE) : 0u) << size;
    });
  }
  expectNoPool("close", [&] { EXPECT_EQ(machine->close(handle).status, STATUS_SUCCESS); });
}

TEST_P(RequestPoolTest, DeviceControlAllocatesNothing) {
  bootAndCount();
  ntsim::Handle handle = open();
  const ULONG description = static_cast<ULONG>(extension()->DeviceDescription.Length);
  Bytes out;
  expectNoPool("description", [&] {
    auto result = control(handle, IOCTL_GET_DESCRIPTION, 2000, &out);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, description);
  });
  expectNoPool("description into 16 bytes",
               [&] { EXPECT_EQ(control(handle, IOCTL_GET_DESCRIPTION, 16, &out).status, STATUS_BUFFER_TOO_SMALL); });
  expectNoPool("capability table", [&] {
    auto result = control(handle, IOCTL_GET_CAPABILITY_TABLE, sizeof(CAPABILITY_TABLE), &out);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, sizeof(CAPABILITY_TABLE));
  });
  expectNoPool("unknown code", [&] {
    EXPECT_EQ(control(handle, CTL_CODE(FILE_DEVICE_UNKNOWN, 0x8FF, METHOD_BUFFERED, FILE_ANY_ACCESS), 64, &out).status,
              STATUS_INVALID_DEVICE_REQUEST);
  });
  expectNoPool("no buffers",
               [&] { EXPECT_EQ(control(handle, IOCTL_GET_DESCRIPTION, 0, &out).status, STATUS_BUFFER_TOO_SMALL); });
  machine->close(handle);
}

TEST_P(RequestPoolTest, PlugAndPlayAllocatesNothing) {
  bootAndCount();
  expectNoPool("capability query", [&] { EXPECT_EQ(machine->queryCapabilities(*node).status, STATUS_SUCCESS); });
  const struct {
    const char* name;
    UCHAR minor;
    NTSTATUS status;  // the bus's answer; what nobody handles comes back as it was sent
  } requests[] = {
      {"device state query", IRP_MN_QUERY_PNP_DEVICE_STATE, STATUS_NOT_SUPPORTED},
      {"stop", IRP_MN_STOP_DEVICE, STATUS_SUCCESS},
      {"start", IRP_MN_START_DEVICE, STATUS_SUCCESS},
      {"query stop", IRP_MN_QUERY_STOP_DEVICE, STATUS_SUCCESS},
      {"relations query", IRP_MN_QUERY_DEVICE_RELATIONS, STATUS_NOT_SUPPORTED},
      {"query remove", IRP_MN_QUERY_REMOVE_DEVICE, STATUS_SUCCESS},
      {"cancel remove", IRP_MN_CANCEL_REMOVE_DEVICE, STATUS_SUCCESS},
      {"unknown minor 0x42", 0x42, STATUS_NOT_SUPPORTED},
  };
  for (const auto& request : requests) {
    expectNoPool(request.name, [&] {
      EXPECT_EQ(machine->pnp(*node, request.minor).status, request.status) << request.name;
      EXPECT_EQ(lockCount(), 1) << request.name;
    });
  }
  // The bus completing later, from its own thread.
  setBusPend(true);
  expectNoPool("capability query completed later",
               [&] { EXPECT_EQ(machine->queryCapabilities(*node).status, STATUS_SUCCESS); });
  // The removal frees what the device held and allocates nothing.
  size_t before = machine->poolAllocations();
  EXPECT_EQ(machine->pnp(*node, IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
  EXPECT_EQ(machine->poolAllocations(), before) << "remove allocated pool";
  EXPECT_EQ(machine->poolOutstanding(driver), 0u) << "remove left pool behind";
}

TEST_P(RequestPoolTest, PowerAllocatesNothing) {
  bootAndCount();
  for (bool pend : {false, true}) {
    setBusPend(pend);
    const std::string how = pend ? " (bus completing later)" : "";
    expectNoPool("sleep" + how, [&] {
      EXPECT_EQ(machine->systemPower(*node, PowerSystemSleeping3, PowerActionSleep).status, STATUS_SUCCESS);
      EXPECT_EQ(extension()->DevicePowerState, PowerDeviceD3);
    });
    expectNoPool("wake" + how, [&] {
      EXPECT_EQ(machine->systemPower(*node, PowerSystemWorking, PowerActionNone).status, STATUS_SUCCESS);
      EXPECT_EQ(extension()->DevicePowerState, PowerDeviceD0);
    });
    expectNoPool("device power query" + how, [&] {
      EXPECT_EQ(machine->powerIrp(*node, IRP_MN_QUERY_POWER, DevicePowerState, PowerDeviceD3).status, STATUS_SUCCESS);
    });
  }
}

INSTANTIATE_TEST_SUITE_P(Drivers, RequestPoolTest, ::testing::ValuesIn(kAllDrivers), PrintKind);

}  // namespace
}  // namespace pdkit::test
