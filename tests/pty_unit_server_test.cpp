// The simulated unit served on a pseudo-terminal in real time: what a program on the slave side
// sees of the unit, line speeds taken from the port's settings (and the speed command that races
// the reopen at the new speed), stale input dropped at an open, late replies, pacing, and the
// end of serving. Real I/O is the point here; the waits are kept short.
#include "sim/pty_unit_server.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include "os/clock.h"
#include "os/termios2_linux.h"
#include "sim/simulated_unit.h"
#include "support/posix_child.h"

namespace quorel::sim {
namespace {

// A program's serial port: the slave device opened raw at a speed.
int OpenPort(const std::string& path, uint32_t speed) {
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios settings{};
  if (fd < 0 || tcgetattr(fd, &settings) != 0) return -1;
  cfmakeraw(&settings);
  tcsetattr(fd, TCSANOW, &settings);
  SetExactLineSpeed(fd, speed);
  return fd;
}

std::string Ask(int fd, const std::string& text, size_t want, int quietMs = 300) {
  testing::WriteText(fd, text);
  return testing::ReadFor(fd, quietMs, want);
}

// Received bytes waiting to be read on the port.
int Waiting(int fd) {
  int count = 0;
  return ioctl(fd, FIONREAD, &count) == 0 ? count : -1;
}

uint64_t ElapsedMs(uint64_t sinceNs) { return (SystemClock().NowNs() - sinceNs) / kNsPerMs; }

class PtyUnitServerTest : public ::testing::Test {
 protected:
  void Serve(PtyServeOptions options = {}) {
    server_ = std::make_unique<PtyUnitServer>(unit_, options);
    std::string error;
    ASSERT_TRUE(server_->Open(&error)) << error;
    ASSERT_TRUE(server_->Start(&error)) << error;
  }
  void TearDown() override {
    if (server_) server_->Stop();
    if (port_ >= 0) close(port_);
  }

  SimulatedUnit unit_;
  std::unique_ptr<PtyUnitServer> server_;
  int port_ = -1;
};

TEST_F(PtyUnitServerTest, AnswersAtTheUnitsSpeedAndLosesBytesFramedAtAnother) {
  Serve();
  port_ = OpenPort(server_->devicePath(), 9600);
  ASSERT_GE(port_, 0);
  EXPECT_EQ(Ask(port_, "E", 2), "Ok");
  // At 4800 the unit (at 9600) hears nothing.
  SetExactLineSpeed(port_, 4800);
  EXPECT_EQ(Ask(port_, "EE", 2), "");
  SetExactLineSpeed(port_, 9600);
  EXPECT_EQ(Ask(port_, "A008000L000010C", 11), "CS=00000000");
  server_->Stop();
  EXPECT_EQ(server_->stats().bytesLostToSpeed, 2u);
  EXPECT_EQ(unit_.Commands(), (std::vector<std::string>{"E", "A008000", "L000010", "C"}));
  EXPECT_EQ(unit_.transcript()[0].speed, 9600u);
}

TEST_F(PtyUnitServerTest, TakesASpeedCommandAtTheOldSpeedWhenThePortSwitchedBeforeItWasRead) {
  // The updater sends B028800 at 9600 and at once reopens its port at 28800 and probes. Here
  // everything is written before the server even starts, so it reads the speed command only
  // once the port is already at 28800: the command still counts at 9600, the probe at 28800.
  PtyUnitServer server(unit_);
  std::string error;
  ASSERT_TRUE(server.Open(&error)) << error;
  port_ = OpenPort(server.devicePath(), 9600);
  ASSERT_GE(port_, 0);
  testing::WriteText(port_, "B028800");
  close(port_);
  port_ = OpenPort(server.devicePath(), 28800);
  testing::WriteText(port_, "E");
  ASSERT_TRUE(server.Start(&error)) << error;
  EXPECT_EQ(testing::ReadFor(port_, 500, 2), "Ok");
  // A speed changed without a speed command applies at once.
  SetExactLineSpeed(port_, 14400);
  EXPECT_EQ(Ask(port_, "E", 2), "");
  server.Stop();
  ASSERT_EQ(unit_.Commands(), (std::vector<std::string>{"B028800", "E"}));
  EXPECT_EQ(unit_.transcript()[0].speed, 9600u);
  EXPECT_EQ(unit_.transcript()[1].speed, 28800u);
  EXPECT_EQ(unit_.speed(), 28800u);
}

TEST_F(PtyUnitServerTest, ServesTheFarEndOfALineItWasGivenAndFollowsTheSpeedCommands) {
  // The line of a virtual machine's UART: another program holds the pseudo-terminal's master
  // (the PC's side here), the server is given the slave. Bytes sent before it came are not
  // heard; the line's own settings never change, so the speed follows the speed commands.
  int line = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(line, 0);
  port_ = line;
  char name[128] = {};
  ASSERT_EQ(grantpt(line) | unlockpt(line) | ptsname_r(line, name, sizeof name), 0);
  int hold = OpenPort(name, 9600);
  ASSERT_GE(hold, 0);
  testing::WriteText(line, "EEE");
  ASSERT_TRUE(testing::WaitUntil([&] { return Waiting(hold) == 3; }, 2000));
  PtyUnitServer server(unit_);
  std::string error;
  ASSERT_TRUE(server.OpenDevice(name, &error)) << error;
  EXPECT_EQ(server.devicePath(), name);
  ASSERT_TRUE(server.Start(&error)) << error;
  EXPECT_EQ(Ask(line, "E", 4), "Ok");
  testing::WriteText(line, "B028800");
  EXPECT_EQ(Ask(line, "E", 4), "Ok");
  server.Stop();
  close(hold);
  ASSERT_EQ(unit_.Commands(), (std::vector<std::string>{"E", "B028800", "E"}));
  EXPECT_EQ(unit_.transcript()[1].speed, 9600u);
  EXPECT_EQ(unit_.transcript()[2].speed, 28800u);
  PtyUnitServer nowhere(unit_);
  EXPECT_FALSE(nowhere.OpenDevice("/dev/null", &error));
  EXPECT_NE(error.find("/dev/null is no terminal device"), std::string::npos) << error;
}

TEST_F(PtyUnitServerTest, DropsRepliesNobodyReadBeforeTheNextOpen) {
  Serve();
  port_ = OpenPort(server_->devicePath(), 9600);
  testing::WriteText(port_, "E");
  ASSERT_TRUE(testing::WaitUntil([&] { return Waiting(port_) == 2; }, 2000));
  // The "Ok" is left unread, the port closed and opened afresh: once the server has noticed the
  // open, the port is empty.
  close(port_);
  port_ = OpenPort(server_->devicePath(), 9600);
  ASSERT_TRUE(testing::WaitUntil([&] { return server_->stats().opens == 2; }, 2000));
  EXPECT_EQ(Waiting(port_), 0);
  EXPECT_EQ(Ask(port_, "E", 4), "Ok");
}

TEST_F(PtyUnitServerTest, SendsALateReplyAfterItsDelayAndLosesItAtAnotherSpeed) {
  unit_.faults().checksumFaults[{0x000000, 0}] = ChecksumFault{ChecksumFaultKind::kLate, 300};
  unit_.faults().checksumFaults[{0x000000, 1}] = ChecksumFault{ChecksumFaultKind::kLate, 300};
  Serve();
  port_ = OpenPort(server_->devicePath(), 9600);
  const uint64_t start = SystemClock().NowNs();
  EXPECT_EQ(Ask(port_, "L000004C", 11, 600), "CS=00000000");
  EXPECT_GE(ElapsedMs(start), 300u);
  // The second reply is sent at 9600 while the port has gone to 4800 meanwhile: lost.
  testing::WriteText(port_, "C");
  ASSERT_TRUE(testing::WaitUntil([&] { return server_->stats().bytesTaken == 9; }, 2000));
  SetExactLineSpeed(port_, 4800);
  EXPECT_EQ(testing::ReadFor(port_, 600, 11), "");
  server_->Stop();
  EXPECT_EQ(server_->stats().repliesLostToSpeed, 11u);
}

TEST_F(PtyUnitServerTest, PacesBothDirectionsAtTheLineSpeedWhenAsked) {
  PtyServeOptions options;
  options.pace = true;
  Serve(options);
  port_ = OpenPort(server_->devicePath(), 9600);
  // The unit's receiver takes each byte 10 bit times (1.04 ms at 9600) after the one before.
  for (int i = 0; i < 24; ++i) testing::WriteText(port_, "K");
  ASSERT_TRUE(testing::WaitUntil([&] { return server_->stats().bytesTaken == 24; }, 2000));
  const std::vector<TranscriptEntry> taken =
      server_->WithUnit([](SimulatedUnit& unit) { return unit.transcript(); });
  ASSERT_EQ(taken.size(), 24u);
  for (size_t i = 1; i < taken.size(); ++i) {
    EXPECT_GE(taken[i].timeNs - taken[i - 1].timeNs, 1041666u) << i;
  }
  // A dump of 64 bytes is 128 characters: 133 ms on the wire at 9600.
  const uint64_t start = SystemClock().NowNs();
  EXPECT_EQ(Ask(port_, "L000040A000000M", 128, 300).size(), 128u);
  EXPECT_GE(ElapsedMs(start), 140u);
}

TEST_F(PtyUnitServerTest, StopTakesWhatThePortHadAlreadySent) {
  // The program sends its last command and closes the port; the server is told to stop before
  // it has read anything, yet the unit still takes the command.
  PtyUnitServer server(unit_);
  std::string error;
  ASSERT_TRUE(server.Open(&error)) << error;
  port_ = OpenPort(server.devicePath(), 9600);
  testing::WriteText(port_, "JFLASHING DONE IN ABOUT 30 SECS\nF5382");
  close(port_);
  port_ = -1;
  server.RequestStop();
  ASSERT_TRUE(server.Start(&error)) << error;
  server.Stop();
  EXPECT_TRUE(unit_.flashed());
}

TEST_F(PtyUnitServerTest, EndsByItselfOnceTheUnitIsDoneAndTheLineQuiet) {
  PtyServeOptions options;
  options.stopWhenDone = true;
  options.quietMs = 200;
  Serve(options);
  port_ = OpenPort(server_->devicePath(), 9600);
  EXPECT_EQ(Ask(port_, "E", 2), "Ok");
  EXPECT_FALSE(server_->finished());
  const uint64_t start = SystemClock().NowNs();
  testing::WriteText(port_, "X");
  ASSERT_TRUE(testing::WaitUntil([&] { return server_->finished(); }, 2000));
  EXPECT_GE(ElapsedMs(start), 200u);
  EXPECT_TRUE(server_->WithUnit([](SimulatedUnit& unit) { return unit.leftUpdateMode(); }));
}

}  // namespace
}  // namespace quorel::sim
