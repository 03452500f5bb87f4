// DbgPrint: the kernel's format conversions (long is 32 bits, %wZ, %ws,
// %S, %I64) and the record of calls, in order, from any thread.
#include "inproc.h"

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
      {"-1 4294967295", [] { DbgPrint("%ld %lu", -1, -1); }},          // long is 32 bits
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

}  // namespace
}  // namespace pdkit::test
