// Reads and writes of the store: through MDLs on Tavrin, through the system
// buffer on Kelvane, and not at all on Ostrel.
#include "driver_fixture.h"

#include <cstdlib>
#include <memory>

namespace pdkit::test {
namespace {

class TransferTest : public DriverTest, public ::testing::WithParamInterface<DriverKind> {
 protected:
  // The lines a read or write of `length` bytes prints (offset: the buffer's offset in its page).
  Lines transferLines(bool isRead, ULONG length, ULONG offset = 0) const {
    std::string op = isRead ? "IRP_MJ_READ" : "IRP_MJ_WRITE";
    Lines lines{op + " : Begin\r\n",
                std::string(isRead ? "Output" : "Input") + " Buffer Length : " + std::to_string(length) + "\r\n"};
    if (kind_->directIo) lines.push_back("Offset for Buffer in the Memory Page: " + std::to_string(offset) + "\r\n");
    lines.push_back("Driver Data Length : 1024\r\n");
    lines.push_back(op + " : End\r\n");
    return lines;
  }
};

// Where a buffer starts in its memory page, as the MDL describes it.
ULONG pageOffset(const void* buffer) {
  return static_cast<ULONG>(reinterpret_cast<uintptr_t>(buffer) & (PAGE_SIZE - 1));
}

Bytes pattern(size_t length, uint8_t seed) {
  Bytes bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7);
  return bytes;
}

TEST_P(TransferTest, ANewStoreReadsAsZeros) {
  boot(GetParam());
  auto handle = open();
  Bytes out;
  auto result = read(handle, 16, &out);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, 16u);
  EXPECT_EQ(out, Bytes(16, 0));
  EXPECT_EQ(kd(), transferLines(true, 16, pageOffset(out.data())));
  machine->close(handle);
}

TEST_P(TransferTest, WritesReplaceTheWholeStore) {
  boot(GetParam());
  auto handle = open();
  auto wrote = write(handle, "abc");
  EXPECT_EQ(wrote.status, STATUS_SUCCESS);
  EXPECT_EQ(wrote.information, 3u);
  Bytes out;
  auto result = read(handle, 8, &out);
  EXPECT_EQ(result.information, 8u);
  EXPECT_EQ(out, (Bytes{'a', 'b', 'c', 0, 0, 0, 0, 0}));
  // Five bytes, then three: the second write clears what the first left over.
  write(handle, "12345");
  write(handle, "xyz");
  read(handle, 8, &out);
  EXPECT_EQ(out, (Bytes{'x', 'y', 'z', 0, 0, 0, 0, 0}));
  Bytes expected(DATA_BUFFER_SIZE, 0);
  expected[0] = 'x', expected[1] = 'y', expected[2] = 'z';
  EXPECT_EQ(store(), expected);
  machine->close(handle);
  EXPECT_EQ(lockCount(), 1);
}

TEST_P(TransferTest, ReadsDoNotConsumeAndEveryHandleSeesTheSameStore) {
  boot(GetParam());
  auto writer = open();
  auto reader = open();
  Bytes data = pattern(100, 3);
  writeBytes(writer, data);
  Bytes first, second;
  read(reader, 100, &first);
  read(reader, 100, &second);
  EXPECT_EQ(first, data);
  EXPECT_EQ(second, data);
  machine->close(writer);
  machine->close(reader);
  // The store outlives handles.
  auto later = open();
  Bytes again;
  read(later, 100, &again);
  EXPECT_EQ(again, data);
  machine->close(later);
}

struct LengthCase {
  ULONG length;
  ULONG stored;  // what the driver reports and keeps
};

TEST_P(TransferTest, LengthsAreBoundedByTheStore) {
  boot(GetParam());
  auto handle = open();
  for (LengthCase c : {LengthCase{0, 0}, {3, 3}, {8, 8}, {1023, 1023}, {1024, 1024}, {1025, 1024}, {2000, 1024}}) {
    SCOPED_TRACE(::testing::Message() << "length " << c.length);
    Bytes data = pattern(c.length, static_cast<uint8_t>(c.length));
    machine->clearDebugOutput();
    auto wrote = writeBytes(handle, data);
    EXPECT_EQ(wrote.status, STATUS_SUCCESS);
    EXPECT_EQ(wrote.information, c.stored);
    EXPECT_EQ(kd(), transferLines(false, c.length, c.length != 0 ? pageOffset(data.data()) : 0));
    Bytes expected(DATA_BUFFER_SIZE, 0);
    std::copy(data.begin(), data.begin() + c.stored, expected.begin());
    EXPECT_EQ(store(), expected);
    Bytes out;
    machine->clearDebugOutput();
    auto result = read(handle, c.length, &out);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, c.stored);
    // Bytes past the store's end are left as the caller had them.
    Bytes wanted(c.length, 0xEE);
    std::copy(data.begin(), data.begin() + c.stored, wanted.begin());
    EXPECT_EQ(out, wanted);
  }
  machine->close(handle);
  EXPECT_EQ(lockCount(), 1);
}

TEST_P(TransferTest, AnEmptyWriteClearsTheStoreAndAnEmptyReadChangesNothing) {
  boot(GetParam());
  auto handle = open();
  write(handle, "keep me");
  machine->clearDebugOutput();
  auto empty = machine->read(handle, nullptr, 0);
  EXPECT_EQ(empty.status, STATUS_SUCCESS);
  EXPECT_EQ(empty.information, 0u);
  EXPECT_EQ(kd(), transferLines(true, 0));
  EXPECT_EQ(store()[0], 'k');
  machine->clearDebugOutput();
  auto cleared = machine->write(handle, nullptr, 0);
  EXPECT_EQ(cleared.status, STATUS_SUCCESS);
  EXPECT_EQ(cleared.information, 0u);
  EXPECT_EQ(kd(), transferLines(false, 0));
  EXPECT_EQ(store(), Bytes(DATA_BUFFER_SIZE, 0));
  Bytes out;
  read(handle, 4, &out);
  EXPECT_EQ(out, Bytes(4, 0));
  machine->close(handle);
}

TEST_P(TransferTest, ANonzeroOffsetIsServedFromTheStart) {
  boot(GetParam());
  auto handle = open();
  write(handle, "offset");
  Bytes out(6, 0xEE);
  auto result = machine->read(handle, out.data(), 6, 512);
  EXPECT_EQ(result.information, 6u);
  EXPECT_EQ(out, (Bytes{'o', 'f', 'f', 's', 'e', 't'}));
  std::string text = "again";
  machine->write(handle, text.data(), 5, 100);
  Bytes stored = store();
  EXPECT_EQ(Bytes(stored.begin(), stored.begin() + 6), (Bytes{'a', 'g', 'a', 'i', 'n', 0}));
  machine->close(handle);
}

INSTANTIATE_TEST_SUITE_P(Drivers, TransferTest, ::testing::ValuesIn(kStoreDrivers), PrintKind);

// ---- Tavrin only: the MDL's page offset and a mapping that fails.

class DirectTransferTest : public DriverTest {};

TEST_F(DirectTransferTest, TheOffsetLineShowsWhereTheBufferStartsInItsPage) {
  boot(kTavrin);
  auto handle = open();
  std::unique_ptr<uint8_t, decltype(&std::free)> page(static_cast<uint8_t*>(std::aligned_alloc(4096, 8192)),
                                                      &std::free);
  uint8_t* buffer = page.get() + 100;
  std::memcpy(buffer, "direct", 6);
  machine->clearDebugOutput();
  auto wrote = machine->write(handle, buffer, 6);
  EXPECT_EQ(wrote.information, 6u);
  EXPECT_EQ(kd()[2], "Offset for Buffer in the Memory Page: 100\r\n");
  std::memset(buffer, 0xEE, 10);
  machine->clearDebugOutput();
  auto result = machine->read(handle, buffer, 10);
  EXPECT_EQ(result.information, 10u);
  EXPECT_EQ(kd()[2], "Offset for Buffer in the Memory Page: 100\r\n");
  EXPECT_EQ(Bytes(buffer, buffer + 10), (Bytes{'d', 'i', 'r', 'e', 'c', 't', 0, 0, 0, 0}));
  machine->close(handle);
}

TEST_F(DirectTransferTest, AFailedMappingCompletesWithInsufficientResources) {
  boot(kTavrin);
  auto handle = open();
  write(handle, "kept");
  for (bool isRead : {true, false}) {
    SCOPED_TRACE(isRead ? "read" : "write");
    machine->faults().mapping = 1;
    machine->clearDebugOutput();
    Bytes buffer(8, 0xEE);
    auto result = isRead ? machine->read(handle, buffer.data(), 8) : machine->write(handle, buffer.data(), 8);
    EXPECT_EQ(result.status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(result.information, 0u);
    EXPECT_EQ(result.win32, 1450u);
    EXPECT_EQ(kd(), (Lines{isRead ? "IRP_MJ_READ : Begin\r\n" : "IRP_MJ_WRITE : Begin\r\n",
                           "Can't get Virtual Address from MDL\r\n"}));
    EXPECT_EQ(buffer, Bytes(8, 0xEE));
    Bytes kept = store();
    EXPECT_EQ(Bytes(kept.begin(), kept.begin() + 5), (Bytes{'k', 'e', 'p', 't', 0}));
    EXPECT_EQ(lockCount(), 2);  // only the handle's acquisition
  }
  machine->close(handle);
}

// ---- Ostrel: no data path at all.

class ControlOnlyTest : public DriverTest {};

TEST_F(ControlOnlyTest, ReadAndWriteFailWithoutReachingTheDriver) {
  boot(kOstrel);
  auto handle = open();
  machine->clearDebugOutput();
  Bytes buffer(16, 0xEE);
  for (auto result : {machine->read(handle, buffer.data(), 16), machine->write(handle, buffer.data(), 16),
                      machine->read(handle, nullptr, 0), machine->write(handle, nullptr, 0)}) {
    EXPECT_EQ(result.status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(result.information, 0u);
    EXPECT_EQ(result.win32, 1u);
  }
  EXPECT_EQ(buffer, Bytes(16, 0xEE));
  EXPECT_EQ(kd(), Lines{});
  EXPECT_EQ(lockCount(), 2);
  machine->close(handle);
}

TEST_F(ControlOnlyTest, TraceOrderFromLoadToClose) {
  load(kOstrel);
  node = &machine->addDevice(*driver);
  ASSERT_EQ(machine->pnp(*node, IRP_MN_START_DEVICE).status, STATUS_SUCCESS);
  auto handle = open();
  machine->close(handle);
  EXPECT_EQ(kd(), (Lines{"In DriverEntry : Begin\r\n", "In DriverEntry : End\r\n", "In AddDevice : Begin\r\n",
                         "In AddDevice : End\r\n", "IRP_MJ_PNP Received : Begin\r\n",
                         "IRP_MN_START_DEVICE Received : Begin\r\n", "Start Device....\r\n",
                         "IRP_MN_START_DEVICE Received : End\r\n", "IRP_MJ_PNP Received : End\r\n",
                         "IRP_MJ_CREATE Received : Begin\r\n", "IRP_MJ_CREATE Received : End\r\n",
                         "IRP_MJ_CLOSE Received : Begin\r\n"}));
}

TEST_F(ControlOnlyTest, NoStoreIsEverAllocated) {
  boot(kOstrel);
  EXPECT_EQ(extension()->DataBuffer, nullptr);
  EXPECT_EQ(machine->poolOutstanding(driver), 1u);
}

}  // namespace
}  // namespace pdkit::test
