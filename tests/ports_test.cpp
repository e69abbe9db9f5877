// The port as the driver sees it, on the virtual clock: a reopen that fails after a speed
// command ends the run with a message saying where the unit waits, and the trace (--trace)
// records every open, byte, wait and console text of a run.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "config/records.h"
#include "sim/sim_session.h"
#include "support/console_texts.h"
#include "support/sim_helpers.h"
#include "update/driver.h"

namespace quorel {
namespace {

using sim::OpenRecord;
using sim::SimSession;
using testing::kBanner;
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
    const char* what;
    std::vector<std::string> args;
    int32_t refused;
    bool silentAt28800;
    bool convert;  // a unit whose records must be converted: the line drops to 14400
    std::string expectedTail;
    std::string lastCommand;
  };
  const std::string ladder = "28800k RS232 speed not working trying 14400k \n";
  const std::vector<Case> cases = {
      {"the chosen speed", {}, 28800, false, false, CannotSet(28800, " with -s1 (14400 bit/s)"),
       "B028800"},
      {"a step of the ladder", {}, 14400, true, false,
       ladder + CannotSet(14400, " with -s2 (9600 bit/s)"), "B014400"},
      {"the drop for the configuration", {}, 14400, false, true,
       CannotSet(14400, " with -s2 (9600 bit/s)"), "B014400"},
      {"the step to 1000 keeps its texts", {"-s4"}, 1000, false, false,
       "2400k RS232 speed not working trying 1000k \nRS232 communication problem. Update "
       "exiting\nConnection cannot be made\n",
       "B001000"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SimSession s;
    s.devices.RefuseSpeed(c.refused);
    if (c.convert) s.unit.WriteConfigRecords(kRecordV1Size, 3, true);
    s.unit.SetCodeRegionChecksum(testing::ChecksumOfRelease(
        s.payload, kProModel, c.convert ? 0x042303 : 0x110503));
    if (c.silentAt28800) s.unit.faults().silentSpeeds = {28800};
    if (c.refused == 1000) s.unit.faults().silentSpeeds = {2400};
    EXPECT_EQ(s.Run(c.args), 0);
    const std::string& out = s.console.output();
    const std::string tail = c.expectedTail + kPrompt;
    ASSERT_GE(out.size(), tail.size()) << out;
    EXPECT_EQ(out.substr(out.size() - tail.size()), tail) << out;
    EXPECT_EQ(out.find("not in update mode"), std::string::npos);
    // Nothing follows the speed command: the port is closed, so not even X.
    ASSERT_FALSE(s.unit.transcript().empty());
    EXPECT_EQ(s.unit.transcript().back().command, c.lastCommand);
    // The failing speed was tried twice, 100 ms apart, and never again.
    std::vector<OpenRecord> refused;
    for (const OpenRecord& open : s.devices.opens()) {
      if (open.speed == c.refused) refused.push_back(open);
    }
    ASSERT_EQ(refused.size(), 2u);
    EXPECT_EQ(refused[1].timeNs - refused[0].timeNs, 100 * kNsPerMs);
    EXPECT_EQ(refused.back().result, kOpenLineSettingsFailed);
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
  // One line per command and per reply: the speed command and the burst of probes.
  EXPECT_NE(trace.find(" out   7: 42 30 32 38 38 30 30 |B028800|\n"), std::string::npos);
  EXPECT_NE(trace.find(" out   20: 45 45 45"), std::string::npos);
  // The opens, the greeting's 2000 ms sleeps, the identification's 1000 ms, the key wait.
  EXPECT_NE(trace.find("       0 con   \"\\n****************************************\\n\"\n"),
            std::string::npos);
  EXPECT_NE(trace.find(" open  COM1 at 9600 bit/s: ok\n"), std::string::npos);
  EXPECT_NE(trace.find(" open  COM1 at 28800 bit/s: ok\n"), std::string::npos);
  EXPECT_NE(trace.find(" wait  2000 ms\n"), std::string::npos);
  EXPECT_NE(trace.find(" wait  1000 ms\n"), std::string::npos);
  EXPECT_NE(trace.find(" drain "), std::string::npos);
  EXPECT_NE(trace.find(" con   \"Firmware not updated...Exiting\\n\"\n"), std::string::npos);
  EXPECT_NE(trace.find(" key   end of input\n"), std::string::npos);
  // The first column never goes back, and the console text is all there.
  std::istringstream lines(trace);
  std::string line;
  uint64_t last = 0;
  size_t conLines = 0;
  while (std::getline(lines, line)) {
    const uint64_t ms = std::stoull(line.substr(0, 8));
    EXPECT_GE(ms, last) << line;
    last = ms;
    if (line.compare(9, 3, "con") == 0) ++conLines;
  }
  EXPECT_GT(last, 4000u);  // two greeting sleeps at least
  EXPECT_GE(conLines, 8u);
  EXPECT_EQ(s.console.output().substr(0, kBanner.size()), kBanner);
}

}  // namespace
}  // namespace quorel
