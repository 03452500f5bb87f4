// The mailbox example driver end to end: a read takes kept mail, or waits
// until a write hands it mail, the program cancels it, or it times out;
// each sequence clean under the verifier, with the driver's debugger lines.
#include "inproc.h"

#include <future>

namespace pdkit::test {
namespace {

class MailboxTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    driver = &machine->load(driverPath("mailbox"));
    ntsim::DeviceNode& node = machine->addDevice(*driver);
    ASSERT_EQ(node.addDeviceStatus(), STATUS_SUCCESS);
    auto open = machine->open("\\\\.\\MAILBOX");
    ASSERT_EQ(open.result.status, STATUS_SUCCESS);
    handle = open.handle;
  }

  // A read sent from another thread, returned once the driver holds it.
  std::future<std::pair<ntsim::IoResult, std::string>> waitingRead() {
    auto read = std::async(std::launch::async, [this] {
      char buffer[16] = {};
      auto result = machine->read(handle, buffer, sizeof buffer);
      return std::make_pair(result, std::string(buffer, result.information));
    });
    EXPECT_TRUE(eventually([&] { return machine->debugStream().find("read waits for mail") != std::string::npos; }));
    return read;
  }

  std::vector<std::string> finish() {
    machine->close(handle);
    machine->unload(*driver);
    std::vector<std::string> lines = kd();
    lines.erase(lines.begin());  // "device added"
    return lines;
  }

  ntsim::Driver* driver = nullptr;
  ntsim::Handle handle = 0;
};

TEST_F(MailboxTest, ReadTakesMailKeptByAnEarlierWrite) {
  EXPECT_EQ(machine->write(handle, "hi", 2).information, 2u);
  char buffer[8] = {};
  auto read = machine->read(handle, buffer, sizeof buffer);
  EXPECT_EQ(read.status, STATUS_SUCCESS);
  EXPECT_EQ(std::string(buffer, read.information), "hi");
  EXPECT_EQ(finish(), (std::vector<std::string>{"mailbox: mail of 2 bytes kept\r\n",
                                                "mailbox: read 2 bytes of mail\r\n", "mailbox: unloaded\r\n"}));
}

TEST_F(MailboxTest, WaitingReadEndsWithMailCancellationOrTimeout) {
  struct Case {
    const char* how;
    NTSTATUS status;
    std::string data;
    std::string line;
  };
  const Case cases[] = {{"mail", STATUS_SUCCESS, "mail", "mailbox: mail of 4 bytes handed to a waiting read\r\n"},
                        {"cancel", STATUS_CANCELLED, "", "mailbox: read cancelled\r\n"},
                        {"timeout", STATUS_IO_TIMEOUT, "", "mailbox: read timed out\r\n"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.how);
    machine->clearDebugOutput();
    auto read = waitingRead();
    if (c.data == "mail") {
      EXPECT_EQ(machine->write(handle, "mail", 4).status, STATUS_SUCCESS);
    } else if (std::string(c.how) == "cancel") {
      EXPECT_TRUE(machine->cancel(handle));
    }
    auto [result, data] = read.get();  // the timeout case waits for the driver's two seconds
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(data, c.data);
    EXPECT_EQ(kd(), (std::vector<std::string>{"mailbox: read waits for mail\r\n", c.line}));
  }
  EXPECT_FALSE(machine->cancel(handle));  // nothing left in flight
}

}  // namespace
}  // namespace pdkit::test
