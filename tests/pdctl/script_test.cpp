// The ways to give pdctl its commands (arguments with ; inside or as an
// argument of its own, -f SCRIPT, -f -, standard input), and how a script is
// read: comments, blank lines, quotes and escapes, handle numbers, numbers
// passed through as given.
#include "pdctl_run.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

namespace pdkit::test {
namespace {

const char* const kScript =
    "# write, then read back on a second handle\n"
    "open\n"
    "\n"
    "write \"a;b\\x00\\r\\n\"   # quotes keep the ; and take escapes\n"
    "open\n"
    "read 7 ; close\n";

TEST(Scripts, EveryWayOfGivingTheCommandsGivesTheSameRun) {
  std::string path = ::testing::TempDir() + "pdctl_script-" + std::to_string(getpid()) + ".pd";
  { std::ofstream(path) << kScript; }
  PdctlRun fromFile = runPdctl({"--json", "-f", path});
  std::remove(path.c_str());
  PdctlRun fromStdin = runPdctl({"--json", "-f", "-"}, kScript);
  PdctlRun piped = runPdctl({"--json"}, kScript);
  PdctlRun arguments = runPdctl({"--json", "open", ";", "write", "\"a;b\\x00\\r\\n\"", ";", "open; read 7;", "close"});
  for (const PdctlRun* run : {&fromFile, &fromStdin, &piped, &arguments}) {
    EXPECT_EQ(run->exit, 0) << run->err;
    EXPECT_EQ(run->err, "");
  }
  EXPECT_EQ(fromStdin.out, fromFile.out);
  EXPECT_EQ(piped.out, fromFile.out);
  EXPECT_EQ(arguments.out, fromFile.out);
  auto lines = linesOf(fromFile.out);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2],
            R"({"cmd":"read","status":"0x00000000","status_name":"STATUS_SUCCESS","win32":0,"bytes":7,)"
            R"("data_hex":"613b62000d0a00","handle":2,"length":7})");
  EXPECT_EQ(lines.back(), R"({"cmd":"close","status":"0x00000000","status_name":"STATUS_SUCCESS","win32":0,"bytes":0,)"
                          R"("data_hex":"","handle":2})");
}

TEST(Scripts, TranscriptEchoesEachCommandAsWritten) {
  PdctlRun run = runPdctl({"--quiet-kd", "-f", "-"}, kScript);
  EXPECT_EQ(run.exit, 0);
  std::vector<std::string> echoed;
  for (const auto& line : linesOf(run.out)) {
    if (line.rfind("pdctl> ", 0) == 0) echoed.push_back(line);
  }
  EXPECT_EQ(echoed, (std::vector<std::string>{"pdctl> open", "pdctl> write \"a;b\\x00\\r\\n\"", "pdctl> open",
                                              "pdctl> read 7", "pdctl> close"}));
}

// A leading handle counts only when all the command's other arguments follow it.
struct HandleCase {
  const char* name;
  const char* commands;
  std::string last;
};

void PrintTo(const HandleCase& c, std::ostream* os) { *os << c.name; }

class Handles : public ::testing::TestWithParam<HandleCase> {};

TEST_P(Handles, DefaultIsTheMostRecentlyOpened) {
  PdctlRun run = runPdctl({"--json", "--quiet-kd", "--driver", "kelvane", GetParam().commands});
  EXPECT_EQ(run.exit, 0) << run.err;
  EXPECT_EQ(linesOf(run.out).back(), GetParam().last);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Handles,
    ::testing::Values(
        HandleCase{"ReadN", "open; open; read 3",
                   R"({"cmd":"read",)" + kOk + R"("bytes":3,"data_hex":"000000","handle":2,"length":3})"},
        HandleCase{"ReadHN", "open; open; read 1 3",
                   R"({"cmd":"read",)" + kOk + R"("bytes":3,"data_hex":"000000","handle":1,"length":3})"},
        HandleCase{"WriteOfANumberIsText", "open; open; write 12",
                   R"({"cmd":"write",)" + kOk + R"("bytes":2,"data_hex":"","handle":2,"length":2})"},
        HandleCase{"WriteWithHandle", "open; open; write 1 12",
                   R"({"cmd":"write",)" + kOk + R"("bytes":2,"data_hex":"","handle":1,"length":2})"},
        HandleCase{"WriteOfQuotedNumbers", "open; open; write \"1\" 2",
                   R"({"cmd":"write",)" + kOk + R"("bytes":3,"data_hex":"","handle":2,"length":3})"},
        HandleCase{"NumberFollowedByWordsIsText", "open; open; write 42 is the answer",
                   R"({"cmd":"write",)" + kOk + R"("bytes":16,"data_hex":"","handle":2,"length":16})"},
        HandleCase{"QuoteInsideAWordIsText", "open; write don't",
                   R"({"cmd":"write",)" + kOk + R"("bytes":5,"data_hex":"","handle":1,"length":5})"},
        HandleCase{"HashOnTheCommandLineIsText", "open; write #1; read 2",
                   R"({"cmd":"read",)" + kOk + R"("bytes":2,"data_hex":"2331","handle":1,"length":2})"},
        HandleCase{"CloseDefault", "open; open; close",
                   R"({"cmd":"close",)" + kOk + R"("bytes":0,"data_hex":"","handle":2})"},
        HandleCase{"AfterCloseTheEarlierHandle", "open; open; close; read 1",
                   R"({"cmd":"read",)" + kOk + R"("bytes":1,"data_hex":"00","handle":1,"length":1})"},
        HandleCase{"DescribeWithHandleAndOutLen", "open; open; describe 1 0",
                   R"({"cmd":"describe","status":"0xC0000023","status_name":"STATUS_BUFFER_TOO_SMALL","win32":122,)"
                   R"("bytes":0,"data_hex":"","handle":1,"code":"0x00222000","text":""})"},
        HandleCase{"IoctlWithHandle", "open; open; ioctl 1 0x222008 4 4",
                   R"({"cmd":"ioctl","status":"0xC0000010","status_name":"STATUS_INVALID_DEVICE_REQUEST","win32":1,)"
                   R"("bytes":0,"data_hex":"","handle":1,"code":"0x00222008","in_length":4,"out_length":4})"},
        HandleCase{"IoctlWithoutHandle", "open; open; ioctl 0x222008 4 4",
                   R"({"cmd":"ioctl","status":"0xC0000010","status_name":"STATUS_INVALID_DEVICE_REQUEST","win32":1,)"
                   R"("bytes":0,"data_hex":"","handle":2,"code":"0x00222008","in_length":4,"out_length":4})"}),
    [](const auto& test) { return std::string(test.param.name); });

// -f - runs each command as its line arrives: the feeder sends the last
// line only once it has seen the write's result, which a pdctl that waited
// for the end of its input would never show. The first line starts with a
// UTF-8 byte-order mark, which pdctl drops.
TEST(Scripts, StandardInputRunsEachLineAsItArrives) {
  std::string base = ::testing::TempDir() + "pdctl_stream-" + std::to_string(getpid());
  {
    std::ofstream(base + ".sh") << "printf '\\357\\273\\277open\\nwrite hi\\n'\n"
                                   "for i in $(seq 200); do\n"
                                   "  if grep -q '^write:' \"$1\"; then echo 'read 2'; exit 0; fi\n"
                                   "  sleep 0.05\n"
                                   "done\n";
  }
  std::string command = "sh " + base + ".sh " + base + ".out | " PDCTL_BINARY " --quiet-kd -f - > " + base + ".out";
  int status = std::system(command.c_str());
  std::ifstream file(base + ".out");
  std::string text((std::istreambuf_iterator<char>(file)), {});
  std::remove((base + ".sh").c_str());
  std::remove((base + ".out").c_str());
  EXPECT_EQ(status, 0);
  EXPECT_NE(text.find("pdctl> read 2\nread: STATUS_SUCCESS (0x00000000), win32 0, 2 bytes, handle 1\n"),
            std::string::npos)
      << text;
}

// The scripts shipped in examples/scripts run as their comments say, for every driver.
struct ExampleCase {
  const char* script;
  int exit;
  std::string last;  // the last JSON line, up to its first differing field
};

void PrintTo(const ExampleCase& c, std::ostream* os) { *os << c.script; }

class Examples : public ::testing::TestWithParam<ExampleCase> {};

TEST_P(Examples, RunOnEveryDriverAsTheirCommentsSay) {
  for (const char* driver : {"tavrin", "kelvane", "ostrel"}) {
    PdctlRun run = runPdctl(
        {"--json", "--quiet-kd", "--driver", driver, "-f", std::string(PDKIT_EXAMPLES_DIR "/") + GetParam().script});
    EXPECT_EQ(run.exit, GetParam().exit) << driver << ": " << run.err;
    EXPECT_EQ(run.out.find(R"({"error")"), std::string::npos) << driver;
    EXPECT_EQ(linesOf(run.out).back().rfind(GetParam().last, 0), 0u) << driver << ": " << run.out;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Shipped, Examples,
    ::testing::Values(ExampleCase{"script.pd", 0, R"({"cmd":"close",)" + kOk},
                      ExampleCase{"power.pd", 0, R"({"cmd":"state",)" + kOk + R"("bytes":0,"data_hex":"","driver":)"},
                      ExampleCase{"bus-failure.pd", 2,
                                  R"({"cmd":"state",)" + kOk + R"("bytes":0,"data_hex":"","driver":)"}),
    [](const auto& test) {
      std::string name = test.param.script;
      std::erase(name, '-');
      return name.substr(0, name.find('.'));
    });

TEST(ExampleScripts, AScriptedFailureIsNamedAsTheCauseOfTheReport) {
  PdctlRun run = runPdctl({"--json", "--quiet-kd", "-f", PDKIT_EXAMPLES_DIR "/bus-failure.pd"});
  EXPECT_NE(run.out.find(R"({"verifier":"SET_POWER_FAILED",)"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find(R"x(,"cause":"pdctl's bus fail power: the bus fails power IRPs (set and query) with )x"
                         R"x(STATUS_UNSUCCESSFUL (0xC0000001)"})x"),
            std::string::npos)
      << run.out;
}

TEST(Scripts, QuitEndsTheScript) {
  PdctlRun run = runPdctl({"--quiet-kd", "open; quit; frob"});
  EXPECT_EQ(run.exit, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out.find("frob"), std::string::npos);
}

TEST(Scripts, HelpNeedsNoDriver) {
  PdctlRun run = runPdctl({"--driver", "/nonexistent/x.so", "help"});
  EXPECT_EQ(run.exit, 0);
  EXPECT_NE(run.out.find("  ioctl [H] CODE [INLEN [OUTLEN]]\n"), std::string::npos) << run.out;
  PdctlRun one = runPdctl({"help sleep"});
  EXPECT_EQ(one.out,
            "sleep S\nA whole system transition to S: the query, then the set, as the power manager sends them.\n");
}

TEST(Scripts, UsageOnHelpOption) {
  PdctlRun run = runPdctl({"--help"});
  EXPECT_EQ(run.exit, 0);
  EXPECT_EQ(run.out.rfind("usage: pdctl [--driver tavrin|kelvane|ostrel|PATH] [--device NAME] [--bare] [--json] "
                          "[--quiet-kd]\n",
                          0),
            0u)
      << run.out;
}

}  // namespace
}  // namespace pdkit::test
