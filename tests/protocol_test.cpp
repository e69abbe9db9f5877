// The exchanges of the update mode against the simulated unit on virtual time: probes, the
// speed switch, the checksum query and its parsing, block writes and reads with their
// verification, the bounded repeats and what resynchronises them.
#include <gtest/gtest.h>

#include <algorithm>

#include <cstring>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "protocol/protocol.h"
#include "serial/link.h"
#include "sim/sim_session.h"
#include "sim/unit_layout.h"

namespace quorel::sim {
namespace {

constexpr uint64_t kMs = kNsPerMs;

constexpr uint64_t WireNs(uint64_t bytes, uint64_t speed) {
  return bytes * 10 * 1000000000ull / speed;
}

std::vector<uint8_t> SampleBlock(uint32_t length, uint32_t seed) {
  std::vector<uint8_t> block(length);
  uint32_t x = seed * 2654435761u + 1;
  for (uint8_t& b : block) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
  }
  return block;
}

class ProtocolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    s = &sim.NewState();
    OpenSelectedPort(s->link, 9600);
  }

  // Switches unit and port to a speed, as the connection does, and forgets what came before.
  void SwitchTo(uint32_t speed) {
    SendSpeedAndReopen(s->link, speed);
    ASSERT_EQ(sim.unit.speed(), speed);
    sim.unit.ClearTranscript();
  }

  // A block write repeated until verified; counts the attempts.
  bool WriteVerified(uint32_t address, const std::vector<uint8_t>& data, int* attempts) {
    uint32_t reply = 0;
    *attempts = 0;
    return RepeatUntilVerified(s->link, static_cast<uint32_t>(data.size()), [&](int n) {
      EXPECT_EQ(n, *attempts);
      ++*attempts;
      return WriteBlockAttempt(s->link, address, data.data(), static_cast<uint32_t>(data.size()),
                               &reply, nullptr);
    });
  }

  uint64_t Now() { return sim.clock.NowNs(); }

  SimSession sim;
  UpdateState* s = nullptr;
};

using Commands = std::vector<std::string>;

TEST_F(ProtocolTest, SingleProbeAcceptsExactlyOk) {
  EXPECT_TRUE(SingleProbe(s->link));
  EXPECT_STREQ(s->link.replyBuffer, "Ok");
  // Up to 20 characters are wanted, so even a good probe costs the whole wait.
  EXPECT_EQ(Now(), WireNs(1, 9600) + 320 * kMs);

  sim.unit.faults().probeReply = "Ok\r\n";
  EXPECT_FALSE(SingleProbe(s->link));
  EXPECT_STREQ(s->link.replyBuffer, "Ok\r\n");

  sim.unit.faults().probeReply = "OOk";
  EXPECT_FALSE(SingleProbe(s->link));
  EXPECT_STREQ(s->link.replyBuffer, "OOk");

  sim.unit.faults().absent = true;
  const uint64_t start = Now();
  EXPECT_FALSE(SingleProbe(s->link));
  EXPECT_STREQ(s->link.replyBuffer, "");
  EXPECT_EQ(Now() - start, WireNs(1, 9600) + 320 * kMs);
}

TEST_F(ProtocolTest, SpeedSwitchSendsTheCommandAtTheOldSpeedThenReopensAtOnce) {
  s->link.currentSpeed = 9600;
  SendSpeedAndReopen(s->link, 28800);
  ASSERT_EQ(sim.unit.transcript().size(), 1u);
  EXPECT_EQ(sim.unit.transcript()[0].command, "B028800");
  EXPECT_EQ(sim.unit.transcript()[0].speed, 9600u);
  EXPECT_EQ(sim.unit.speed(), 28800u);
  const OpenRecord& reopen = sim.devices.opens().back();
  EXPECT_EQ(reopen.name, "COM1");
  EXPECT_EQ(reopen.speed, 28800);
  EXPECT_EQ(reopen.parity, 0);
  // The close let the command leave; nothing more was waited for.
  EXPECT_EQ(reopen.timeNs, WireNs(7, 9600));
  EXPECT_EQ(s->link.currentSpeed, 28800u);
  EXPECT_TRUE(SingleProbe(s->link));
  EXPECT_EQ(sim.unit.transcript().back().speed, 28800u);
}

TEST_F(ProtocolTest, BurstProbeLeavesNoReplyBehind) {
  SwitchTo(28800);
  BurstProbe(s->link);
  EXPECT_EQ(sim.unit.Commands(), Commands(20, "E"));
  EXPECT_STREQ(s->link.replyBuffer, "Ok");
  EXPECT_EQ(s->link.port.BytesPending(), 0u);
  // The next probe reads its own reply, not one of the 19 others.
  EXPECT_TRUE(SingleProbe(s->link));
}

TEST_F(ProtocolTest, BurstProbeWithoutAnswerMakesTwentyOneReadsAndDrains) {
  SwitchTo(28800);
  sim.unit.faults().silentSpeeds = {28800};
  const uint64_t start = Now();
  BurstProbe(s->link);
  EXPECT_EQ(Now() - start, WireNs(20, 28800) + 21 * 320 * kMs + 100 * kMs);
  EXPECT_STREQ(s->link.replyBuffer, "");
}

TEST(ChecksumReplyTest, ParsesOneToEightHexDigitsAfterCsAndLeavesOtherwise) {
  uint32_t value = 0xDEAD;
  EXPECT_TRUE(ParseChecksumReply("CS=1f", &value));
  EXPECT_EQ(value, 0x1Fu);
  EXPECT_TRUE(ParseChecksumReply("CS=0003FC00", &value));
  EXPECT_EQ(value, 0x3FC00u);
  EXPECT_TRUE(ParseChecksumReply("CS=123456789", &value));
  EXPECT_EQ(value, 0x12345678u);
  value = 0xDEAD;
  for (const char* text : {"CX=0001234", "\rCS=0000040", "CS=", "CS=xyz", "", "cs=12"}) {
    EXPECT_FALSE(ParseChecksumReply(text, &value)) << text;
    EXPECT_EQ(value, 0xDEADu) << text;
  }
}

TEST(ChecksumReplyTest, BlockChecksumIsAPlainByteSum) {
  std::vector<uint8_t> ones(1024, 0xFF);
  EXPECT_EQ(BlockChecksum(ones.data(), 1024), 0x3FC00u);
  std::vector<uint8_t> zeros(1024, 0);
  EXPECT_EQ(BlockChecksum(zeros.data(), 1024), 0u);
}

TEST_F(ProtocolTest, IdentificationQueryReachesTheUnitAsOneRunOfText) {
  sim.unit.SetCodeRegionChecksum(0x6F0A31);
  sim.devices.ClearWritten();
  const uint64_t start = Now();
  SendText("A008000", s->link.port);
  SendText("L00e000", s->link.port);
  uint32_t value = 0;
  EXPECT_TRUE(QueryChecksum(s->link, &value, 1000));
  EXPECT_EQ(value, 0x6F0A31u);
  EXPECT_EQ(sim.devices.written(), std::string("A008000L00e000") + '\x43');
  EXPECT_EQ(sim.unit.Commands(), (Commands{"A008000", "L00e000", "C"}));
  EXPECT_EQ(Now() - start, 1000 * kMs);
}

TEST_F(ProtocolTest, BlockWriteStoresTheBytesAndVerifiesAgainstTheUnit) {
  SwitchTo(14400);
  const std::vector<uint8_t> data = SampleBlock(256, 1);
  SendLength(s->link, 256);
  sim.devices.ClearWritten();
  uint32_t reply = 0;
  std::string writtenAtMark;
  EXPECT_TRUE(WriteBlockAttempt(s->link, 0x4AF8, data.data(), 256, &reply,
                                [&] { writtenAtMark = sim.devices.written(); }));
  EXPECT_EQ(writtenAtMark, "A004AF8D");  // the repeat mark comes between "D" and the data
  EXPECT_EQ(reply, BlockChecksum(data.data(), 256));
  EXPECT_TRUE(std::equal(data.begin(), data.end(), sim.unit.memory().begin() + 0x4AF8));
  EXPECT_EQ(sim.unit.Commands(), (Commands{"L000100", "A004AF8", "D[256]", "C"}));
}

TEST_F(ProtocolTest, BlockWriteWaitsForItsBytesToLeaveBeforeTheReplyWait) {
  // 1024 bytes at 28800 stay on the wire longer than the whole reply wait: only a wait that
  // starts once the output has drained can see the checksum reply.
  static_assert(WireNs(1024, 28800) > 320 * kMs, "the block must outlast the reply wait");
  SwitchTo(28800);
  SendLength(s->link, 1024);
  const std::vector<uint8_t> data = SampleBlock(1024, 2);
  int attempts = 0;
  EXPECT_TRUE(WriteVerified(0x8000, data, &attempts));
  EXPECT_EQ(attempts, 1);
  EXPECT_EQ(sim.unit.stats().dataBlocks, 1u);
  EXPECT_EQ(sim.unit.stats().checksumQueries, 1u);
  EXPECT_EQ(s->link.port.BytesPending(), 0u);
}

TEST_F(ProtocolTest, BlockReadReturnsTheUnitsBytesVerified) {
  SwitchTo(14400);
  sim.unit.WriteConfigRecords(layout::kRecordV2, 5, true);
  SendLength(s->link, 64);
  std::vector<uint8_t> destination(64, 0);
  uint32_t reported = 0;
  int marks = 0;
  EXPECT_TRUE(ReadBlockAttempt(s->link, 0x49C0, destination.data(), 64, &reported, [&] { ++marks; }));
  EXPECT_EQ(marks, 1);
  EXPECT_TRUE(std::equal(destination.begin(), destination.end(),
                         sim.unit.memory().begin() + 0x49C0));
  EXPECT_EQ(reported, sim.unit.MemorySum(0x49C0, 64));
  EXPECT_EQ(sim.unit.Commands(), (Commands{"L000040", "A0049C0", "M", "C"}));
}

TEST_F(ProtocolTest, AnUnansweredAllZeroBlockIsNotVerified) {
  const std::vector<uint8_t> zeros(1024, 0);
  SendLength(s->link, 1024);
  sim.unit.faults().checksumFaults[{0x0C00, 0}] = {ChecksumFaultKind::kMissing};
  uint32_t reply = 0;
  EXPECT_FALSE(WriteBlockAttempt(s->link, 0x0C00, zeros.data(), 1024, &reply, nullptr));
  EXPECT_EQ(reply, 0u);
  EXPECT_TRUE(WriteBlockAttempt(s->link, 0x0C00, zeros.data(), 1024, &reply, nullptr));
}

TEST_F(ProtocolTest, ARepeatSetsTheLengthAgainForAUnitThatLostIt) {
  // As if a lost "D" had let block data reach the unit as commands, one of them a length.
  SwitchTo(28800);
  SendLength(s->link, 0x400);
  SendText("L000010", s->link.port);
  s->link.port.DrainOutput();
  sim.devices.Settle();
  ASSERT_EQ(sim.unit.currentLength(), 0x10u);
  sim.unit.ClearTranscript();
  std::vector<uint8_t> data(0x400, 0x01);
  int attempts = 0;
  EXPECT_TRUE(WriteVerified(0x9000, data, &attempts));
  EXPECT_EQ(attempts, 2);
  Commands c = sim.unit.Commands();
  // The first attempt sends no length; the repeat does, right before its address.
  ASSERT_GE(c.size(), 3u);
  EXPECT_EQ(c[0], "A009000");
  auto repeat = std::find(c.begin(), c.end(), "L000400");
  ASSERT_NE(repeat, c.end());
  EXPECT_EQ(*(repeat + 1), "A009000");
  EXPECT_EQ(*(repeat + 2), "D[1024]");
}

TEST_F(ProtocolTest, RepeatsStopAtTheBound) {
  SendLength(s->link, 256);
  for (int attempt = 0; attempt <= kMaxBlockAttempts; ++attempt) {
    sim.unit.faults().checksumFaults[{0x4000, attempt}] = {ChecksumFaultKind::kWrong};
  }
  int attempts = 0;
  EXPECT_FALSE(WriteVerified(0x4000, SampleBlock(256, 3), &attempts));
  EXPECT_EQ(attempts, kMaxBlockAttempts);
  EXPECT_EQ(sim.unit.stats().dataBlocksAt.at(0x4000), static_cast<uint32_t>(kMaxBlockAttempts));
}

TEST_F(ProtocolTest, RepeatsStopWhenTheAdapterIsGone) {
  SendLength(s->link, 256);
  sim.devices.LoseAfterBytesWritten(100);
  int attempts = 0;
  EXPECT_FALSE(WriteVerified(0x4000, SampleBlock(256, 4), &attempts));
  EXPECT_EQ(attempts, 1);
}

TEST_F(ProtocolTest, AStrayByteBeforeAChecksumReplyIsDrainedBeforeTheRepeat) {
  SendLength(s->link, 256);
  // The first reply arrives as 12 characters: its last digit would shift every later reply.
  sim.unit.faults().strayBeforeChecksum[{0x4100, 0}] = "\r";
  int attempts = 0;
  EXPECT_TRUE(WriteVerified(0x4100, SampleBlock(256, 5), &attempts));
  EXPECT_EQ(attempts, 2);
  EXPECT_EQ(sim.unit.stats().dataBlocksAt.at(0x4100), 2u);
  EXPECT_EQ(s->link.port.BytesPending(), 0u);
  // The next block is verified at once.
  EXPECT_TRUE(WriteVerified(0x4200, SampleBlock(256, 6), &attempts));
  EXPECT_EQ(attempts, 1);
}

TEST_F(ProtocolTest, ALateChecksumReplyIsDrainedBeforeTheRepeat) {
  SendLength(s->link, 256);
  sim.unit.faults().checksumFaults[{0x4100, 0}] = {ChecksumFaultKind::kLate, 380};
  int attempts = 0;
  EXPECT_TRUE(WriteVerified(0x4100, SampleBlock(256, 7), &attempts));
  EXPECT_EQ(attempts, 2);
  EXPECT_TRUE(WriteVerified(0x4200, SampleBlock(256, 8), &attempts));
  EXPECT_EQ(attempts, 1);
}

// The driver's one exit path after a give-up: the phase's message, X and the close, then the
// ending's own text and the key prompt. (Runs cut short: UpdateRoad and Stress.)
struct ExitSession {
  ExitSession() : state(session->NewState()) {
    OpenSelectedPort(state.link, 9600);
    state.link.unitAnswered = true;
  }
  std::unique_ptr<SimSession> session = std::make_unique<SimSession>();
  UpdateState& state;
};

const char kPrompt[] = "\nPress a key to exit program";

TEST(ExitPath, GivingUpLetsGoOfTheUnitInTheEndingsOrder) {
  ExitSession block;
  EXPECT_EQ(EndOfRun(block.state, EndAfterBlockFailure(block.state, "main image", 0x400)), 0);
  EXPECT_EQ(block.session->console.output(),
            std::string("\nNo verified reply from the unit for the main image block at 000400 "
                        "after 10 attempts.\nThe unit was not flashed. Update exiting\n") +
                kPrompt);
  EXPECT_FALSE(block.state.link.port.IsOpen());
  EXPECT_EQ(block.session->unit.Commands(), (Commands{"X"}));
  EXPECT_TRUE(block.session->unit.leftUpdateMode());
  EXPECT_EQ(block.session->console.keysRead(), 1);

  // X and close, then the ending's own text.
  ExitSession probe;
  EXPECT_EQ(EndOfRun(probe.state, EndRun(0, "Connection failed at check config\n")), 0);
  EXPECT_EQ(probe.session->console.output(),
            std::string("Connection failed at check config\n") + kPrompt);
  EXPECT_EQ(probe.session->unit.Commands(), (Commands{"X"}));

  // A lost port: the failure says so, and nothing more is written.
  ExitSession lost;
  lost.session->devices.LoseAfterBytesWritten(1);
  lost.state.link.port.SendByte('E');
  EXPECT_EQ(EndOfRun(lost.state, EndAfterBlockFailure(lost.state, "configuration write", 0x4AF8)),
            0);
  EXPECT_EQ(lost.session->console.output(),
            std::string("\nThe serial port stopped working during the configuration write "
                        "(block at 004AF8).\nThe unit was not flashed. Update exiting\n") +
                kPrompt);
  EXPECT_FALSE(lost.state.link.port.IsOpen());
  EXPECT_EQ(lost.session->devices.written(), "E");
}

}  // namespace
}  // namespace quorel::sim
