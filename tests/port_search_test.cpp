// --port auto: the unit's port found by one E to each of the machine's ports. On the virtual
// line, a found unit gets the run it gets without the search, one probe earlier; on
// pseudo-terminals, with the POSIX device layer given a list of ports, the unit is found among a
// silent, a busy and a garbling port, and no run is made when none or two answer.
#include <gtest/gtest.h>

#include <sys/file.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "os/serial_posix.h"
#include "sim/pty_unit_server.h"
#include "sim/scripted_console.h"
#include "sim/sim_session.h"
#include "sim/unit_layout.h"
#include "support/console_texts.h"
#include "support/posix_child.h"
#include "support/sim_helpers.h"

namespace quorel {
namespace {

// The unit's memory map and record layouts, as the simulated unit describes them.
namespace layout = sim::layout;

using sim::SimSession;
using sim::SimulatedUnit;
using testing::kNotInUpdateMode;
using testing::kPrompt;

// A unit of the other model: refused after the identification, a short run in real time.
void PutBaseUnitOn(SimulatedUnit& unit) {
  unit.SetCodeRegionChecksum(
      testing::ChecksumOfRelease(CompiledPayload(), kBaseModel, 0x091103));
}

std::string EndOf(const std::string& text, size_t n) {
  return text.size() < n ? text : text.substr(text.size() - n);
}

TEST(PortSearch, OnTheVirtualLineTheFoundUnitGetsItsUsualRunOneProbeLater) {
  const std::string copy = ::testing::TempDir() + "quorel-search-copy.bin";
  const std::vector<std::vector<std::string>> commandLines = {
      {}, {"-s2", "--fast"}, {"--identify", "--save-config", copy}};
  for (const std::vector<std::string>& args : commandLines) {
    SCOPED_TRACE(args.empty() ? "" : args[0]);
    SimSession plain;
    SimSession found;
    for (SimSession* s : {&plain, &found}) {
      // Records to convert: the run reads them out at 14400 and writes them back.
      s->unit.WriteConfigRecords(layout::kRecordV1, 3, true);
      s->unit.SetCodeRegionChecksum(
          testing::ChecksumOfRelease(s->payload, kProModel, 0x042303));
    }
    std::vector<std::string> autoArgs = args;
    autoArgs.insert(autoArgs.begin(), {"--port=auto"});
    const int status = plain.Run(args);
    EXPECT_EQ(found.Run(autoArgs), status);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(found.devices.written(), "E" + plain.devices.written());
    std::vector<std::string> commands = plain.unit.Commands();
    commands.insert(commands.begin(), "E");
    EXPECT_EQ(found.unit.Commands(), commands);
    // Each converting run keeps its own copy of the settings, under its own name.
    EXPECT_EQ(testing::HideCopyPaths(found.console.output()),
              testing::HideCopyPaths(plain.console.output()));
    EXPECT_EQ(found.console.errors(), "quorel-update: --port auto found the unit on COM1\n");
    EXPECT_EQ(found.unit.memory(), plain.unit.memory());
  }

  // The probe is in the trace: its open, its E and the reply, then the run's own first open.
  SimSession s;
  PutBaseUnitOn(s.unit);
  const std::string path = ::testing::TempDir() + "quorel-search.trace";
  const char* argv[] = {"quorel-update", "--port", "auto", "--trace", path.c_str()};
  EXPECT_EQ(RunUpdateProgram(s.devices, s.clock, s.console, s.payload, 5, argv), 1);
  std::ifstream file(path);
  std::stringstream trace;
  trace << file.rdbuf();
  const std::string text = trace.str();
  const size_t probe = text.find(" open  COM1 at 9600 bit/s: ok\n");
  const size_t e = text.find(" out   1: 45 |E|\n", probe);
  const size_t ok = text.find(" in    2: 4f 6b |Ok|\n", e);
  const size_t said = text.find(" err   quorel-update: --port auto found the unit on COM1\n", ok);
  const size_t contact = text.find(" open  COM1 at 9600 bit/s: ok\n", said);
  EXPECT_NE(probe, std::string::npos) << text;
  EXPECT_NE(e, std::string::npos);
  EXPECT_NE(ok, std::string::npos);
  EXPECT_NE(said, std::string::npos);
  EXPECT_NE(contact, std::string::npos);
}

TEST(PortSearch, OnTheVirtualLineABusyOrSilentPortIsNoUnit) {
  for (bool busy : {true, false}) {
    SimSession s;
    s.devices.SetBusy(busy);
    s.unit.faults().absent = !busy;
    EXPECT_EQ(s.Run({"--port", "auto", "--fast"}), 0);
    EXPECT_EQ(EndOf(s.console.output(), kNotInUpdateMode.size() + kPrompt.size()),
              kNotInUpdateMode + kPrompt);
    EXPECT_EQ(s.console.errors(),
              busy ? "quorel-update: --port auto found no unit; asked: none; skipped, in use by "
                     "another program: COM1\n"
                   : "quorel-update: --port auto found no unit; asked: COM1\n");
    EXPECT_EQ(s.devices.written(), busy ? "" : "E");
    EXPECT_FALSE(s.devices.lineOpen());
  }
}

// A simulated unit served on a pseudo-terminal.
struct ServedUnit {
  explicit ServedUnit(const std::function<void(SimulatedUnit&)>& setUp) {
    setUp(unit);
    std::string error;
    started = server.Open(&error) && server.Start(&error);
  }
  SimulatedUnit unit;
  sim::PtyUnitServer server{unit};
  bool started = false;
};

// The machine's ports as the tests give them to the device layer.
SerialPortEntry Entry(const std::string& device, bool usb) {
  SerialPortEntry entry;
  entry.device = device;
  entry.usb = usb;
  return entry;
}

struct PtyRun {
  int status = -1;
  std::string out;
  std::string errors;   // the run's own lines on standard error
  std::vector<std::string> reports;  // the device layer's lines on failed opens
};

PtyRun RunOnPorts(const std::vector<SerialPortEntry>& ports, std::vector<std::string> args) {
  PtyRun run;
  PosixSerialDevices devices([&run](const std::string& line) { run.reports.push_back(line); },
                             SetAndReadLineSpeed, [ports] { return ports; });
  ScriptedConsole console;
  std::vector<const char*> argv = {"quorel-update"};
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  run.status = RunUpdateProgram(devices, SystemClock(), console, CompiledPayload(),
                                static_cast<int>(argv.size()), argv.data());
  run.out = console.output();
  run.errors = console.errors();
  return run;
}

// A port another program holds: its lock on the device.
struct BusyPort {
  BusyPort() { held = pty.Open() && flock(pty.slave, LOCK_EX | LOCK_NB) == 0; }
  testing::PseudoTerminal pty;
  bool held = false;
};

TEST(PortSearch, OnPseudoTerminalsFindsTheUnitAmongASilentABusyAndAGarblingPort) {
  testing::PseudoTerminal silent;
  ASSERT_TRUE(silent.Open());
  BusyPort busy;
  ASSERT_TRUE(busy.held);
  ServedUnit garbling([](SimulatedUnit& unit) { unit.faults().probeReply = "\x15?Er"; });
  ServedUnit unit(PutBaseUnitOn);
  ServedUnit alone(PutBaseUnitOn);  // the same unit, for the run with --port
  ASSERT_TRUE(garbling.started && unit.started && alone.started);
  const std::string unitPath = unit.server.devicePath();

  const PtyRun found = RunOnPorts({Entry(silent.slavePath, false), Entry(unitPath, true),
                                   Entry(busy.pty.slavePath, true),
                                   Entry(garbling.server.devicePath(), false)},
                                  {"--port", "auto"});
  const PtyRun named = RunOnPorts({}, {"--port", alone.server.devicePath()});
  unit.server.Stop();
  alone.server.Stop();
  garbling.server.Stop();

  EXPECT_EQ(found.status, 1);
  EXPECT_EQ(named.status, 1);
  EXPECT_EQ(found.out, named.out);
  EXPECT_EQ(found.errors, "quorel-update: --port auto found the unit on " + unitPath + "\n");
  const std::vector<std::string> reports = {
      "quorel-update: cannot open " + busy.pty.slavePath +
      ": the port is in use by another program (a terminal program, ModemManager probing a new "
      "adapter, or brltty, which claims some USB-serial adapters)"};
  EXPECT_EQ(found.reports, reports);
  // The run on the found port, byte for byte, after its probe; the other ports got one E, the
  // busy one nothing.
  std::vector<std::string> commands = alone.unit.Commands();
  commands.insert(commands.begin(), "E");
  EXPECT_EQ(unit.unit.Commands(), commands);
  EXPECT_EQ(unit.unit.Commands().back(), "X");
  EXPECT_EQ(testing::ReadFor(silent.master, 100), "E");
  EXPECT_EQ(testing::ReadFor(busy.pty.master, 100), "");
  EXPECT_EQ(garbling.unit.Commands(), std::vector<std::string>{"E"});
  EXPECT_EQ(garbling.unit.stats().bytesReceived, 1u);
}

TEST(PortSearch, OnPseudoTerminalsNoneOrTwoUnitsAnsweringMeansNoRun) {
  // None: a silent, a garbling and a busy port.
  {
    testing::PseudoTerminal silent;
    ASSERT_TRUE(silent.Open());
    BusyPort busy;
    ASSERT_TRUE(busy.held);
    ServedUnit garbling([](SimulatedUnit& unit) { unit.faults().probeReply = "OK"; });
    ASSERT_TRUE(garbling.started);
    const std::string g = garbling.server.devicePath();
    const PtyRun run = RunOnPorts(
        {Entry(silent.slavePath, false), Entry(busy.pty.slavePath, true), Entry(g, true)},
        {"--port", "auto", "-s1"});
    garbling.server.Stop();
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(EndOf(run.out, kNotInUpdateMode.size() + kPrompt.size()),
              kNotInUpdateMode + kPrompt);
    EXPECT_EQ(run.errors, "quorel-update: --port auto found no unit; asked: " + g + ", " +
                              silent.slavePath + "; skipped, in use by another program: " +
                              busy.pty.slavePath + "\n");
    EXPECT_EQ(garbling.unit.Commands(), std::vector<std::string>{"E"});
    EXPECT_EQ(testing::ReadFor(silent.master, 100), "E");
  }
  // Two: neither is updated, and neither gets more than its E (no X either).
  {
    ServedUnit first(PutBaseUnitOn);
    ServedUnit second(PutBaseUnitOn);
    ASSERT_TRUE(first.started && second.started);
    const std::string a = first.server.devicePath();
    const std::string b = second.server.devicePath();
    const PtyRun run = RunOnPorts({Entry(a, false), Entry(b, false)}, {"--port=auto"});
    first.server.Stop();
    second.server.Stop();
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, testing::kBanner + "The unit answered on more than one port (" + a + ", " +
                           b + "): name one with --port DEVICE\n" + kPrompt);
    EXPECT_EQ(run.errors, "");
    for (ServedUnit* served : {&first, &second}) {
      EXPECT_EQ(served->unit.Commands(), std::vector<std::string>{"E"});
      EXPECT_EQ(served->unit.stats().bytesReceived, 1u);
    }
  }
}

}  // namespace
}  // namespace quorel
