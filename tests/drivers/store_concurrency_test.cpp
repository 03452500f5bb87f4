// Readers never see a write half done: writers alternate whole-store
// patterns while readers check that every read is one pattern throughout.
#include "driver_fixture.h"

#include <atomic>
#include <thread>

namespace pdkit::test {
namespace {

class StoreConcurrencyTest : public DriverTest, public ::testing::WithParamInterface<DriverKind> {};

TEST_P(StoreConcurrencyTest, NoTornReads) {
  boot(GetParam());
  constexpr int kReadsEach = 300;
  constexpr int kReaders = 2;
  std::atomic<int> torn{0}, reads{0}, writes{0}, readersLeft{kReaders};
  // The writer alternates whole-store patterns for as long as readers read.
  std::thread writer([&] {
    auto handle = open();
    Bytes a(DATA_BUFFER_SIZE, 'A'), b(DATA_BUFFER_SIZE, 'B');
    for (int i = 0; readersLeft.load() > 0; ++i, ++writes) writeBytes(handle, i % 2 ? a : b);
    machine->close(handle);
  });
  std::vector<std::thread> readers;
  for (int r = 0; r < kReaders; ++r) {
    readers.emplace_back([&] {
      auto handle = open();
      Bytes out(DATA_BUFFER_SIZE);
      // Start reading once the writer is under way, so that reads and writes overlap.
      while (writes.load() == 0) std::this_thread::yield();
      for (int i = 0; i < kReadsEach; ++i) {
        machine->read(handle, out.data(), DATA_BUFFER_SIZE);
        ++reads;
        for (uint8_t byte : out) {
          if (byte != out[0]) {
            ++torn;
            break;
          }
        }
      }
      machine->close(handle);
      --readersLeft;
    });
  }
  writer.join();
  for (auto& reader : readers) reader.join();
  EXPECT_EQ(torn.load(), 0) << "of " << reads.load() << " reads";
  EXPECT_EQ(reads.load(), kReaders * kReadsEach);
  EXPECT_GT(writes.load(), 0);
  EXPECT_EQ(lockCount(), 1);
}

INSTANTIATE_TEST_SUITE_P(Drivers, StoreConcurrencyTest, ::testing::ValuesIn(kStoreDrivers), PrintKind);

}  // namespace
}  // namespace pdkit::test
