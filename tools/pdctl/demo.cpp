#include "demo.h"

#include "backend.h"
#include "errors.h"
#include "exit_status.h"
#include "numbers.h"
#include "script_parser.h"
#include "session.h"
#include "terminal.h"
#include "transcript.h"

#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <vector>

namespace pdctl {
namespace {

struct Step {
  const char* note;     // what to watch for
  const char* command;  // nullptr: the boot
};

struct Tour {
  const char* driver;
  const char* title;
  const char* about;
  std::vector<Step> steps;
};

// Breaks text into lines of at most `width` columns, each starting with `indent`.
std::string wrap(const std::string& text, size_t width, const std::string& indent) {
  std::string out, line;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(' ', start);
    if (end == std::string::npos) end = text.size();
    std::string word = text.substr(start, end - start);
    if (!line.empty() && line.size() + 1 + word.size() > width - indent.size()) {
      out += indent + line + "\n";
      line.clear();
    }
    line += (line.empty() ? "" : " ") + word;
    start = end + 1;
  }
  if (!line.empty())
    out += indent + line;
  else if (!out.empty())
    out.pop_back();
  return out;
}

const Step kSleepAndWake[] = {
    {"Before sleeping: the power states the driver has recorded (system working, device D0), its remove lock "
     "and its capability table.",
     "state"},
    {"The power manager puts the system to sleep in S3: a query, then a set. As the device's power policy owner, "
     "the driver passes each system IRP down to the bus, then asks for a device power IRP with PoRequestPowerIrp, "
     "for the device state its table maps S3 to (D3), and completes the system IRP once the device IRP is done. "
     "Lines without a line end run on into the next.",
     "sleep S3"},
    {"After the sleep: system S3 and device D3 recorded; PoSetPowerState told the power manager about D3.", "state"},
    {"Waking: the power manager sends the set-power IRP for the working state S0. The table maps S0 to D0, a power "
     "up, so the driver passes the device IRP down first and records D0 in its completion routine, once the bus "
     "has powered the device.",
     "wake"},
    {"After the wake: working again, device D0.", "state"},
};

std::vector<Tour> tours() {
  auto withPower = [](std::vector<Step> steps, std::vector<Step> tail) {
    steps.insert(steps.end(), std::begin(kSleepAndWake), std::end(kSleepAndWake));
    steps.insert(steps.end(), tail.begin(), tail.end());
    return steps;
  };
  std::vector<Step> closing{
      {"Closing the handle: IRP_MJ_CLEANUP (which the driver does not handle: the I/O manager's default answers it) "
       "and IRP_MJ_CLOSE, which gives back the handle's hold on the remove lock.",
       "close"},
      {"Disabling the device, as Device Manager does: the PnP manager asks first (IRP_MN_QUERY_REMOVE_DEVICE; it "
       "would refuse while a handle is open), then removes it (IRP_MN_REMOVE_DEVICE). The driver waits on its "
       "remove lock for every request in progress, passes the removal down to the bus, frees the store and the "
       "capability table, and detaches and deletes its device.",
       "pnp disable"},
      {"Enabling it again: AddDevice on the same bus device, the start and the queries that follow it. A fresh "
       "device, store and table.",
       "pnp enable"},
      {"Unloading as Windows does: the device is removed first, and DriverUnload runs only once the driver has no "
       "device left. ntsim's verifier checks that nothing is left behind: no pool block, no remove lock held.",
       "unload"},
  };
  return {
      {"tavrin", "Tavrin: direct I/O (\\\\.\\TAVRINDEV)",
       "Tavrin keeps a 1024-byte store. Its device object asks for direct I/O (DO_DIRECT_IO): for a read or a "
       "write the I/O manager locks the program's own buffer in memory and describes its pages with an MDL; the "
       "driver maps the MDL into system space and copies straight between the program's pages and its store. "
       "There is no copy in between.",
       withPower(
           {
               {"Booting: ntsim loads tavrin.so and calls DriverEntry; the PnP manager calls AddDevice for a device "
                "on the root bus, then sends IRP_MN_START_DEVICE and IRP_MN_QUERY_CAPABILITIES. The driver passes "
                "the capability query down to the bus and fills its capability table from the answer.",
                nullptr},
               {"A program opens \\\\.\\TAVRINDEV: IRP_MJ_CREATE. The open handle holds the device's remove lock "
                "until it is closed.",
                "open"},
               {"WriteFile with 14 bytes: the driver sees the length of the locked buffer and its offset in its "
                "memory page (0: pdctl's buffers start on a page), zero-fills the store and copies the bytes in.",
                "write \"Hello, Tavrin!\""},
               {"ReadFile of 16 bytes: the store's first 16 bytes come back through the MDL, the 14 written and two "
                "zeros.",
                "read 16"},
               {"DeviceIoControl with IOCTL_GET_DESCRIPTION (0x222000, METHOD_BUFFERED): the I/O manager gives the "
                "driver one system buffer; the driver copies its description (UTF-16) into it, and the I/O manager "
                "copies the reply back to the program.",
                "describe"},
               {"IOCTL_GET_CAPABILITY_TABLE (0x222004): the driver prints its table on the debugger and returns its "
                "64 bytes. DeviceState maps each system power state to the device power state the bus reported: "
                "D0 when working, D3 in every sleep state.",
                "table"},
           },
           closing)},
      {"kelvane", "Kelvane: buffered I/O (\\\\.\\KELVANEDEV)",
       "Kelvane is Tavrin's twin with buffered I/O (DO_BUFFERED_IO). For a write the I/O manager copies the "
       "program's bytes into a system buffer in nonpaged memory before the driver sees them; for a read the driver "
       "fills a system buffer and the I/O manager copies the bytes it reports back to the program after the request "
       "is completed. The driver never touches the program's memory.",
       withPower(
           {
               {"Booting, as for Tavrin: load, DriverEntry, AddDevice, start, capability query.", nullptr},
               {"Opening \\\\.\\KELVANEDEV.", "open"},
               {"WriteFile with 15 bytes: the driver copies them out of the system buffer. There is no MDL and no "
                "page offset this time.",
                "write \"Hello, Kelvane!\""},
               {"ReadFile of 20 bytes: the driver copies 20 bytes of its store into a system buffer; the I/O "
                "manager copies them to the program.",
                "read 20"},
               {"The description, through the same METHOD_BUFFERED path as Tavrin's.", "describe"},
               {"The capability table: Kelvane's own, filled from its own device's capability query.", "table"},
           },
           closing)},
      {"ostrel", "Ostrel: control codes only (\\\\.\\OSTRELDEV)",
       "Ostrel has no data path: its driver object leaves IRP_MJ_READ and IRP_MJ_WRITE at the I/O manager's "
       "default, which fails them with STATUS_INVALID_DEVICE_REQUEST (the program sees Win32 error 1, "
       "ERROR_INVALID_FUNCTION) without reaching the driver. It answers only the two control codes, and it traces "
       "its own lines in DriverEntry, AddDevice, open and close.",
       withPower(
           {
               {"Booting: this time DriverEntry and AddDevice print their Begin and End lines.", nullptr},
               {"Opening \\\\.\\OSTRELDEV: the driver traces the create request.", "open"},
               {"WriteFile: the I/O manager's default routine fails it; nothing reaches the driver, so nothing is "
                "traced.",
                "write \"Hello, Ostrel?\""},
               {"ReadFile fails the same way.", "read 4"},
               {"The description: Ostrel's device control prints no Begin and End lines.", "describe"},
               {"The capability table: only the sixteen lines of the dump.", "table"},
           },
           closing)},
  };
}

constexpr unsigned kMaxPace = 10000;

// The pause after each step; a value that is not a number of milliseconds up to kMaxPace is refused.
unsigned paceMilliseconds() {
  std::string pace = environment("PDCTL_DEMO_PACE_MS");
  unsigned value = 1200;
  if (!pace.empty()) {
    bool digits = pace.size() <= 9 && pace.find_first_not_of("0123456789") == std::string::npos;
    value = digits ? static_cast<unsigned>(std::stoul(pace)) : kMaxPace + 1;
    if (value > kMaxPace) {
      throw CommandError("PDCTL_DEMO_PACE_MS=" + printable(pace) +
                         " is not a pause the tour can take: expected "
                         "milliseconds from 0 to " +
                         std::to_string(kMaxPace) + " (0 for no pauses)");
    }
  }
  return stdoutIsTerminal() ? value : 0;
}

}  // namespace

int runDemo(const Options& options, const std::string& programDir) {
  if (options.json) {
    throw CommandError(
        "demo: the tour is for people to read; for --json, run the commands yourself "
        "(pdctl --json \"open; write hi; read 2\")");
  }
  if (options.bare) throw CommandError("demo: the tour boots each driver itself; leave out --bare");
  unsigned pace = paceMilliseconds();
  bool colour = colourWanted();
  Transcript transcript(stdout, stderr,
                        {.echoCommands = true, .quietKd = options.quietKd, .colour = colour, .markRecords = false});

  transcript.heading("pdctl demo: three WDM drivers at work on ntsim");
  transcript.note(
      wrap("pdctl plays a program that talks to a pseudo device, and ntsim plays the Windows kernel underneath: the "
           "I/O manager, the PnP and power managers and the root bus. Each driver is the same source that builds the "
           "Windows .sys image.",
           78, ""));
  std::fputs("\n", stdout);
  transcript.note(
      wrap("Lines starting \"kd> \" are what the driver prints with DbgPrint, as a kernel debugger shows them. After "
           "each request comes its result: the NTSTATUS the request ended with, the Win32 error a program would get "
           "from GetLastError, and the number of bytes moved.",
           78, ""));

  int status = kExitSuccess;
  for (const Tour& tour : tours()) {
    if (options.driverGiven && options.driver != tour.driver) continue;
    Options one = options;
    one.driver = tour.driver;
    DriverChoice choice = resolveDriver(one, programDir);
    transcript.heading(tour.title);
    transcript.note(wrap(tour.about, 78, ""));
    pauseMilliseconds(pace);
    auto backend = makeBackend(choice);
    Session session(choice, *backend, transcript, false);
    for (const Step& step : tour.steps) {
      std::fputs("\n", stdout);
      transcript.note(wrap(step.note, 78, "# "));
      try {
        if (step.command == nullptr) {
          session.boot();
        } else {
          for (const auto& command : parseScript(step.command, "demo")) session.run(command);
        }
      } catch (const CommandError& error) {
        session.fail(error.what());
        break;
      }
      pauseMilliseconds(pace);
    }
    session.finish();
    if (session.exitStatus() == kExitCommandFailed) return kExitCommandFailed;
    status = std::max(status, session.exitStatus());
  }
  if (status == kExitSuccess) {
    std::fputs("\n", stdout);
    transcript.note(
        wrap("That was the tour. Try the drivers yourself: build/host/bin/pdctl --driver kelvane starts a prompt "
             "(type help); pdctl --json \"open; write hi; read 2\" prints JSON Lines for scripts; and --driver PATH "
             "boots a driver module of your own.",
             78, ""));
  }
  return status;
}

}  // namespace pdctl
