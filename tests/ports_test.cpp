// The port as the driver sees it, on the virtual clock: a reopen that fails after a speed
// command ends the run with a message saying where the unit waits, and the trace (--trace)
// records every open, byte, wait and console text of a run.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sim/sim_session.h"
#include "sim/unit_layout.h"
#include "support/console_texts.h"
#include "support/sim_helpers.h"
#include "driver/driver.h"

namespace quorel {
namespace {

// The unit's memory map and record layouts, as the simulated unit describes them.
namespace layout = sim::layout;

using sim::OpenRecord;
using sim::SimSession;
using testing::kPrompt;

std::string CannotSet(uint32_t speed, const std::string& advice) {
  const std::string bits = std::to_string(speed);
  return "\nThe serial port could not be set to " + bits +
         " bit/s. The unit has already been told to\nswitch to " + bits +
         " bit/s and is waiting at that speed; nothing more can be sent to it.\n"
         "Its firmware has not been changed.\n"
         "To go on, leave and re-enter its update mode from the remote\n"
         "('exit','menu',0,9,3,1), then run the updater again" +
         advice + ".\n";
}

TEST(PortReopen, ASpeedThePortCannotTakeEndsTheRunAfterOneRetry) {
  struct Case {
    std::vector<std::string> args;
    int32_t refused;
    uint32_t silentAt;  // a speed the unit does not answer at (0: none)
    bool convert;       // records to convert: the line drops to 14400 for them
    std::string tail;
  };
  const std::string ladder = "28800k RS232 speed not working trying 14400k \n";
  const std::vector<Case> cases = {
      {{}, 28800, 0, false, CannotSet(28800, " with -s1 (14400 bit/s)")},  // the chosen speed
      {{}, 14400, 28800, false, ladder + CannotSet(14400, " with -s2 (9600 bit/s)")},
      {{}, 14400, 0, true, CannotSet(14400, " with -s2 (9600 bit/s)")},
      // The step below the ladder keeps its texts.
      {{"-s4"}, 1000, 2400, false,
       "2400k RS232 speed not working trying 1000k \nRS232 communication problem. Update "
       "exiting\nConnection cannot be made\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.refused);
    SimSession s;
    s.devices.RefuseSpeed(c.refused);
    if (c.convert) s.unit.WriteConfigRecords(layout::kRecordV1, 3, true);
    s.unit.SetCodeRegionChecksum(testing::ChecksumOfRelease(
        s.payload, kProModel, c.convert ? 0x042303 : 0x110503));
    if (c.silentAt != 0) s.unit.faults().silentSpeeds = {c.silentAt};
    EXPECT_EQ(s.Run(c.args), 0);
    const std::string& out = s.console.output();
    const std::string tail = c.tail + kPrompt;
    ASSERT_GE(out.size(), tail.size()) << out;
    EXPECT_EQ(out.substr(out.size() - tail.size()), tail) << out;
    // Nothing follows the speed command, not even X; the failing speed was tried twice, 100 ms
    // apart, and never again.
    ASSERT_FALSE(s.unit.transcript().empty());
    char command[16];
    std::snprintf(command, sizeof command, "B%06d", c.refused);
    EXPECT_EQ(s.unit.transcript().back().command, command);
    std::vector<OpenRecord> refused;
    for (const OpenRecord& open : s.devices.opens()) {
      if (open.speed == c.refused) refused.push_back(open);
    }
    ASSERT_EQ(refused.size(), 2u);
    EXPECT_EQ(refused[1].timeNs - refused[0].timeNs, 100 * kNsPerMs);
    EXPECT_EQ(s.devices.opens().back().speed, c.refused);
  }
}

// The bytes of a trace's "out" or "in" lines: the hex pairs between the byte count and the
// text between bars.
std::string TracedBytes(const std::string& trace, const std::string& kind) {
  std::istringstream lines(trace);
  std::string line;
  std::string bytes;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string ms, word, count;
    fields >> ms >> word >> count;
    if (word != kind) continue;
    std::string pair;
    while (fields >> pair && pair[0] != '|') {
      bytes += static_cast<char>(std::stoi(pair, nullptr, 16));
    }
  }
  return bytes;
}

TEST(RunTrace, RecordsEveryOpenByteWaitAndTheConsoleText) {
  SimSession s;
  // A unit of the other model: refused after identification, a short run that still has
  // opens, a ladder-free speed change, the greeting's waits, replies and X.
  s.unit.SetCodeRegionChecksum(testing::ChecksumOfRelease(s.payload, kBaseModel, 0x091103));
  const std::string path = ::testing::TempDir() + "quorel-run.trace";
  std::remove(path.c_str());
  const char* argv[] = {"quorel-update", "--trace", path.c_str()};
  EXPECT_EQ(RunUpdateProgram(s.devices, s.clock, s.console, s.payload, 3, argv), 1);
  s.devices.Settle();
  std::ifstream file(path);
  std::stringstream content;
  content << file.rdbuf();
  const std::string trace = content.str();

  // Every byte the PC wrote, in order, and the unit's replies.
  EXPECT_EQ(TracedBytes(trace, "out"), s.devices.written());
  const std::string in = TracedBytes(trace, "in");
  EXPECT_EQ(in.substr(0, 2), "Ok");
  EXPECT_NE(in.find("HOk"), std::string::npos);
  EXPECT_NE(in.find("CS="), std::string::npos);
  // One line per command and per reply; the opens, the greeting's 2000 ms sleeps, the
  // identification's 1000 ms, a drain, the console text and the key read.
  for (const char* line :
       {" out   7: 42 30 32 38 38 30 30 |B028800|\n", " out   20: 45 45 45",
        "       0 con   \"\\n****************************************\\n\"\n",
        " open  COM1 at 9600 bit/s: ok\n", " open  COM1 at 28800 bit/s: ok\n", " wait  2000 ms\n",
        " wait  1000 ms\n", " drain ", " con   \"Firmware not updated...Exiting\\n\"\n",
        " key   end of input\n"}) {
    EXPECT_NE(trace.find(line), std::string::npos) << line;
  }
  // The first column, milliseconds since the start, never goes back.
  std::istringstream lines(trace);
  std::string line;
  uint64_t last = 0;
  while (std::getline(lines, line)) {
    const uint64_t ms = std::stoull(line.substr(0, 8));
    EXPECT_GE(ms, last) << line;
    last = ms;
  }
  EXPECT_GT(last, 4000u);  // two greeting sleeps at least
}

// The trace sits between the updater and its line: a traced --fast run still blocks on the
// line for its replies (no look-again loop of 1 ms sleeps) and still asks for low latency.
TEST(RunTrace, ForwardsTheFastWaitAndTheLowLatencyRequest) {
  SimSession s;
  s.unit.SetCodeRegionChecksum(testing::ChecksumOfRelease(s.payload, kProModel, 0x110503));
  const std::string path = ::testing::TempDir() + "quorel-fast.trace";
  const char* argv[] = {"quorel-update", "--fast", "--trace", path.c_str()};
  EXPECT_EQ(RunUpdateProgram(s.devices, s.clock, s.console, s.payload, 4, argv), 1);
  EXPECT_TRUE(s.unit.flashed());
  // Every fast reply read waits on the line itself.
  EXPECT_GT(s.devices.inputWaits(), 100u);
  // One request for each line the run opened.
  size_t opened = 0;
  for (const sim::OpenRecord& open : s.devices.opens()) opened += open.result == kOpenOk;
  EXPECT_EQ(s.devices.lowLatencyRequests(), opened);
  EXPECT_GE(opened, 2u);
}

}  // namespace
}  // namespace quorel
