// DbgPrint: the kernel's format conversions (long is 32 bits, %wZ, %ws,
// %S, %I64) and the record of calls, in order, from any thread.
#include "inproc.h"

#include <atomic>
#include <cstring>
#include <thread>

namespace pdkit::test {
namespace {

using DbgPrintTest = MachineTest;

TEST_F(DbgPrintTest, FormatsAsTheKernelFormats) {
  static const char16_t wide[] = u"w\u00e9de";
  UNICODE_STRING counted = unicode(u"counted!and-not-this");
  counted.Length = 7 * 2;
  const PWSTR ws = reinterpret_cast<PWSTR>(const_cast<char16_t*>(wide));
  struct Case {
    std::string expected;
    std::function<void()> print;
  };
  const Case cases[] = {
      {"-42", [] { DbgPrint("%d", -42); }},
      {"4294967254", [] { DbgPrint("%u", -42); }},
      {"ffffffd6", [] { DbgPrint("%x", -42); }},
      {"FFFFFFD6", [] { DbgPrint("%X", -42); }},
      {"-1 4294967295", [] { DbgPrint("%ld %lu", -1, -1); }},  // long is 32 bits
      {"ffffffff", [] { DbgPrint("%lx", 0xFFFFFFFFul); }},
      {"-5000000000", [] { DbgPrint("%I64d", -5000000000LL); }},
      {"123456789abcdef0", [] { DbgPrint("%I64x", 0x123456789ABCDEF0ULL); }},
      {"18446744073709551615", [] { DbgPrint("%I64u", ~0ULL); }},
      {"[   7|7   |007]", [] { DbgPrint("[%4d|%-4d|%03d]", 7, 7, 7); }},
      {"text and more", [] { DbgPrint("%s and %s", "text", "more"); }},
      {"(null)", [] { DbgPrint("%s", static_cast<const char*>(nullptr)); }},
      {"w?de", [ws] { DbgPrint("%ws", ws); }},
      {"w?de", [ws] { DbgPrint("%S", ws); }},
      {"w?de", [ws] { DbgPrint("%ls", ws); }},
      {"counted", [&counted] { DbgPrint("%wZ", &counted); }},
      {"(null)", [] { DbgPrint("%wZ", static_cast<PUNICODE_STRING>(nullptr)); }},
      {"%d 100%", [] { DbgPrint("%%d 100%%"); }},
      {"c=A", [] { DbgPrint("c=%c", 'A'); }},
  };
  for (const auto& c : cases) {
    machine->clearDebugOutput();
    c.print();
    ASSERT_EQ(kd().size(), 1u);
    EXPECT_EQ(kd()[0], c.expected);
  }
}

TEST_F(DbgPrintTest, PointersArePaddedUpperCaseHex) {
  void* pointer = reinterpret_cast<void*>(uintptr_t{0xABC123});
  DbgPrint("%p", pointer);
  std::string expected = sizeof(void*) == 8 ? "0000000000ABC123" : "00ABC123";
  EXPECT_EQ(kd(), std::vector<std::string>{expected});
}

TEST_F(DbgPrintTest, EachCallIsOneRecordAndTheStreamRunsThemTogether) {
  DbgPrint("first ");
  DbgPrint("line\r\n");
  DbgPrint("%s", "");
  DbgPrint("next\n");
  EXPECT_EQ(kd(), (std::vector<std::string>{"first ", "line\r\n", "", "next\n"}));
  EXPECT_EQ(machine->debugStream(), "first line\r\nnext\n");
  std::vector<std::string> echoed;
  machine->setDebugEcho([&](const std::string& text) { echoed.push_back(text); });
  DbgPrint("live %d", 1);
  machine->setDebugEcho(nullptr);
  EXPECT_EQ(echoed, std::vector<std::string>{"live 1"});
  machine->clearDebugOutput();
  EXPECT_TRUE(kd().empty());
}

// A call's text is what its arguments said when it was made, however late
// the output is read: the format and the strings it points at may change
// or go right after the call.
TEST_F(DbgPrintTest, TextIsFixedWhenTheCallIsMade) {
  char format[] = "n=%d %s";
  char word[] = "before";
  int value = 7;
  DbgPrint(format, value, word);
  std::strcpy(format, "m=%x %s");
  std::strcpy(word, "after!");
  value = 8;
  DbgPrint("%I64d %p %5.1f %-*d| %c%%", -5000000000LL, reinterpret_cast<void*>(uintptr_t{0x1F}), 2.25, 4, value, 'z');
  std::string pointer = sizeof(void*) == 8 ? "000000000000001F" : "0000001F";
  EXPECT_EQ(kd(), (std::vector<std::string>{"n=7 before", "-5000000000 " + pointer + "   2.2 8   | z%"}));
}

TEST_F(DbgPrintTest, CallsWithManyArgumentsAreRecordedWhole) {
  DbgPrint("%d %d %d %d %d %d %d %d %d %d %d %d %d %d %d %d %d %d %d %d", 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14,
           15, 16, 17, 18, 19, 20);
  EXPECT_EQ(kd(), std::vector<std::string>{"1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20"});
}

// Formatting at once (for a live echo) and when the output is read give the same text.
TEST_F(DbgPrintTest, EchoedAndRecordedTextAgree) {
  auto printAll = [] {
    DbgPrint("%d|%u|%x|%I64x|%ld|%03d|%-4d|%c", -42, -42, -42, 0x123456789ABCDEF0ULL, -1L, 7, 7, 'A');
    DbgPrint("%Iu %zd %hd %I32d %.3f %e", size_t{12}, ssize_t{-3}, 65537, -9, 1.5, 1e10);
    DbgPrint("%q %");
  };
  printAll();
  std::vector<std::string> recorded = kd();
  machine->clearDebugOutput();
  std::vector<std::string> echoed;
  machine->setDebugEcho([&](const std::string& text) { echoed.push_back(text); });
  printAll();
  machine->setDebugEcho(nullptr);
  EXPECT_EQ(kd(), recorded);
  EXPECT_EQ(echoed, recorded);
  EXPECT_EQ(recorded.front(), "-42|4294967254|ffffffd6|123456789abcdef0|-1|007|7   |A");
}

// With capture off (no debugger attached) calls leave no record; a live echo still sees them.
TEST_F(DbgPrintTest, DiscardedOutputLeavesNoRecord) {
  DbgPrint("kept\n");
  machine->setDebugCapture(false);
  DbgPrint("gone %d\n", 1);
  std::vector<std::string> echoed;
  machine->setDebugEcho([&](const std::string& text) { echoed.push_back(text); });
  DbgPrint("seen %d\n", 2);
  machine->setDebugEcho(nullptr);
  machine->setDebugCapture(true);
  DbgPrint("kept again\n");
  EXPECT_EQ(kd(), (std::vector<std::string>{"kept\n", "kept again\n"}));
  EXPECT_EQ(echoed, std::vector<std::string>{"seen 2\n"});
}

// Reading does not consume: the output reads the same every time, and a
// long run of calls keeps every one of them.
TEST_F(DbgPrintTest, ReadingKeepsTheRecordAndLongRunsKeepEveryCall) {
  constexpr int kCalls = 20000;
  for (int i = 0; i < kCalls; ++i) {
    DbgPrint("line %d\n", i);
    if (i == kCalls / 2) {
      EXPECT_EQ(kd().size(), size_t{kCalls / 2 + 1});
    }
  }
  auto lines = kd();
  ASSERT_EQ(lines.size(), size_t{kCalls});
  for (int i = 0; i < kCalls; ++i) ASSERT_EQ(lines[i], "line " + std::to_string(i) + "\n");
  EXPECT_EQ(kd(), lines);
  machine->clearDebugOutput();
  DbgPrint("after clear\n");
  EXPECT_EQ(kd(), std::vector<std::string>{"after clear\n"});
}

TEST_F(DbgPrintTest, CallsFromManyThreadsAreKeptInCallOrder) {
  constexpr int kThreads = 4, kEach = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kEach; ++i) DbgPrint("%d:%d\n", t, i);
    });
  }
  for (auto& thread : threads) thread.join();
  auto lines = kd();
  ASSERT_EQ(lines.size(), size_t{kThreads * kEach});
  std::vector<int> next(kThreads, 0);
  for (const auto& line : lines) {
    int t = -1, i = -1;
    ASSERT_EQ(std::sscanf(line.c_str(), "%d:%d", &t, &i), 2) << line;
    ASSERT_GE(t, 0);
    ASSERT_LT(t, kThreads);
    EXPECT_EQ(i, next[t]) << "thread " << t << " out of order";
    next[t] = i + 1;
  }
  std::string stream;
  for (const auto& line : lines) stream += line;
  EXPECT_EQ(machine->debugStream(), stream);
}

// Calls of two threads that take turns, each printing once the other's
// call has returned, come out in the order they were made, however close.
TEST_F(DbgPrintTest, TurnsOfTwoThreadsAreKeptInTheOrderTheyTookThem) {
  constexpr int kTurns = 2000;
  std::atomic<int> turn{0};
  auto player = [&turn](int parity) {
    for (int mine = parity; mine < kTurns; mine += 2) {
      while (turn.load(std::memory_order_acquire) != mine) std::this_thread::yield();
      DbgPrint("%d\n", mine);
      turn.store(mine + 1, std::memory_order_release);
    }
  };
  std::thread even(player, 0), odd(player, 1);
  even.join();
  odd.join();
  auto lines = kd();
  ASSERT_EQ(lines.size(), size_t{kTurns});
  for (int i = 0; i < kTurns; ++i) ASSERT_EQ(lines[i], std::to_string(i) + "\n");
}

}  // namespace
}  // namespace pdkit::test
