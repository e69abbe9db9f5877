// The simulated unit: the replies and effects of every command of the update mode, data blocks
// taken as raw bytes, speed switching, the transcript, the memory helpers and the injected
// faults. Last, a whole update through SimSession against it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "config/records.h"
#include "payload/payload.h"
#include "sim/sim_session.h"
#include "sim/simulated_unit.h"
#include "sim/unit_layout.h"
#include "payload/release_code.h"

namespace quorel::sim {
namespace {

// Feeds every byte of text to the unit and returns all it answered.
std::string Feed(SimulatedUnit& unit, const std::string& text) {
  std::string reply;
  for (char c : text) unit.Receive(static_cast<uint8_t>(c), &reply);
  return reply;
}

using Commands = std::vector<std::string>;

TEST(SimulatedUnitTest, StartsInUpdateModeAtFirstContactSpeedWithEmptyMemory) {
  SimulatedUnit unit;
  EXPECT_EQ(unit.speed(), 9600u);
  EXPECT_EQ(unit.memory().size(), 1u << 24);
  EXPECT_EQ(unit.MemorySum(0, 1u << 24), 0u);
  EXPECT_EQ(unit.currentAddress(), 0u);
  EXPECT_EQ(unit.currentLength(), 0u);
  EXPECT_TRUE(unit.inUpdateMode());
  EXPECT_FALSE(unit.flashed());
}

TEST(SimulatedUnitTest, SingleByteCommandsAnswerOrStaySilent) {
  SimulatedUnit unit;
  EXPECT_EQ(Feed(unit, "E"), "Ok");
  EXPECT_EQ(Feed(unit, "G"), "GOk");
  EXPECT_EQ(Feed(unit, "H"), "HOk");
  // The updater reads nothing after K and T: a reply would land in the next probe's read.
  EXPECT_EQ(Feed(unit, "K"), "");
  EXPECT_EQ(Feed(unit, "T"), "");
  EXPECT_EQ(Feed(unit, "V0"), "");
  EXPECT_EQ(Feed(unit, "EE"), "OkOk");
  EXPECT_EQ(unit.Commands(), (Commands{"E", "G", "H", "K", "T", "V0", "E", "E"}));
}

TEST(SimulatedUnitTest, SpeedCommandSwitchesAfterItsLastDigitWithoutReply) {
  SimulatedUnit unit;
  unit.SetTime(5000000);
  EXPECT_EQ(Feed(unit, "B02880"), "");
  EXPECT_EQ(unit.speed(), 9600u);
  EXPECT_EQ(Feed(unit, "0"), "");
  EXPECT_EQ(unit.speed(), 28800u);
  ASSERT_EQ(unit.transcript().size(), 1u);
  EXPECT_EQ(unit.transcript()[0].command, "B028800");
  EXPECT_EQ(unit.transcript()[0].speed, 9600u);  // it arrived at the old speed
  EXPECT_EQ(unit.transcript()[0].timeNs, 5000000u);

  Feed(unit, "B001000");
  EXPECT_EQ(unit.speed(), 1000u);
  // A speed the unit's port cannot run is taken as a command but changes nothing.
  Feed(unit, "B019200");
  EXPECT_EQ(unit.speed(), 1000u);
  EXPECT_EQ(unit.Commands().back(), "B019200");
}

TEST(SimulatedUnitTest, AddressAndLengthTakeHexDigitsOfEitherCase) {
  SimulatedUnit unit;
  EXPECT_EQ(Feed(unit, "A00aB1c"), "");
  EXPECT_EQ(unit.currentAddress(), 0x00AB1Cu);
  EXPECT_EQ(Feed(unit, "L00e000"), "");
  EXPECT_EQ(unit.currentLength(), 0xE000u);
  Feed(unit, "L000400A0049D0");
  EXPECT_EQ(unit.currentLength(), 0x400u);
  EXPECT_EQ(unit.currentAddress(), 0x49D0u);
  EXPECT_EQ(unit.Commands(), (Commands{"A00aB1c", "L00e000", "L000400", "A0049D0"}));
}

TEST(SimulatedUnitTest, ChecksumReportsTheByteSumOfTheCurrentBlockInElevenCharacters) {
  SimulatedUnit unit;
  unit.SetCodeRegionChecksum(0x5A3C21);
  EXPECT_EQ(Feed(unit, "A008000L00e000C"), "CS=005A3C21");
  std::fill(unit.memory().begin() + 0x100, unit.memory().begin() + 0x500, 0xFF);
  EXPECT_EQ(Feed(unit, "A000100L000400C"), "CS=0003FC00");
  EXPECT_EQ(Feed(unit, "A000500C"), "CS=00000000");
}

TEST(SimulatedUnitTest, MemoryReadSendsTwoUpperCaseHexDigitsPerByte) {
  SimulatedUnit unit;
  const uint8_t bytes[] = {0x00, 0x0A, 0xFF, 0x3a, 0xc5};
  std::copy(std::begin(bytes), std::end(bytes), unit.memory().begin() + 0x4000);
  EXPECT_EQ(Feed(unit, "A004000L000005M"), "000AFF3AC5");
  EXPECT_EQ(Feed(unit, "L000002M"), "000A");
  // A length damaged into a huge one dumps no more than 64 KiB.
  EXPECT_EQ(Feed(unit, "LF00000M").size(), 2u * 0x10000);
}

TEST(SimulatedUnitTest, DataBytesAreStoredAndNeverTakenForCommands) {
  SimulatedUnit unit;
  // Every byte of the block is a command letter; none of them may answer or act.
  const std::string data = "EGHCMB028800XF5382";
  std::string reply = Feed(unit, "A001000L" + std::string("000012") + "D" + data);
  EXPECT_EQ(reply, "");
  EXPECT_EQ(std::string(unit.memory().begin() + 0x1000, unit.memory().begin() + 0x1012), data);
  EXPECT_EQ(unit.speed(), 9600u);
  EXPECT_FALSE(unit.flashed());
  EXPECT_TRUE(unit.inUpdateMode());
  EXPECT_EQ(unit.Commands(), (Commands{"A001000", "L000012", "D[18]"}));
  // After the block the unit takes commands again.
  EXPECT_EQ(Feed(unit, "E"), "Ok");
  EXPECT_EQ(unit.stats().dataBlocks, 1u);
  EXPECT_EQ(unit.stats().dataBlocksAt.at(0x1000), 1u);
  char expected[16];
  std::snprintf(expected, sizeof expected, "CS=%08X", unit.MemorySum(0x1000, 18));
  EXPECT_EQ(Feed(unit, "C"), expected);
}

TEST(SimulatedUnitTest, MessagesRunToTheirLineFeedAndAreRecorded) {
  SimulatedUnit unit;
  EXPECT_EQ(Feed(unit, "JDOWNLOADING UPDATE\nE"), "Ok");
  EXPECT_EQ(unit.Commands(), (Commands{"JDOWNLOADING UPDATE\n", "E"}));
  ASSERT_EQ(unit.messages().size(), 1u);
  EXPECT_EQ(unit.messages()[0], "DOWNLOADING UPDATE");
}

TEST(SimulatedUnitTest, FlashCommandNeedsItsCodeAndEndsTheUpdateMode) {
  SimulatedUnit unit;
  Feed(unit, "F1234");
  EXPECT_FALSE(unit.flashed());
  EXPECT_EQ(Feed(unit, "E"), "Ok");
  Feed(unit, "JFLASHING DONE IN ABOUT 30 SECS\nF5382");
  EXPECT_TRUE(unit.flashed());
  EXPECT_FALSE(unit.inUpdateMode());
  EXPECT_EQ(Feed(unit, "E"), "");
  EXPECT_EQ(unit.Commands(),
            (Commands{"F1234", "E", "JFLASHING DONE IN ABOUT 30 SECS\n", "F5382", "?45"}));
}

TEST(SimulatedUnitTest, LeaveCommandEndsTheUpdateModeUntilEnteredAgain) {
  SimulatedUnit unit;
  Feed(unit, "X");
  EXPECT_TRUE(unit.leftUpdateMode());
  EXPECT_EQ(Feed(unit, "E"), "");
  unit.EnterUpdateMode();
  EXPECT_EQ(Feed(unit, "E"), "Ok");
  EXPECT_FALSE(unit.flashed());
}

TEST(SimulatedUnitTest, NoiseIsIgnoredAndACutShortCommandGivesWayToTheNext) {
  SimulatedUnit unit;
  EXPECT_EQ(Feed(unit, "\r\x01"), "");
  // "A00" lost its last digits on the line: the H that follows is a command again.
  EXPECT_EQ(Feed(unit, "A00H"), "HOk");
  EXPECT_EQ(unit.currentAddress(), 0u);
  EXPECT_EQ(unit.Commands(), (Commands{"?0D", "?01", "?413030", "H"}));
  EXPECT_EQ(unit.stats().noiseBytes, 5u);
}

TEST(SimulatedUnitTest, TranscriptTextShowsTimeSpeedAndEscapedCommand) {
  SimulatedUnit unit;
  unit.SetTime(1234567);
  Feed(unit, "E");
  unit.SetTime(2000000000);
  Feed(unit, "B028800");
  unit.SetTime(2500001000);
  Feed(unit, "JHI\n");
  EXPECT_EQ(unit.TranscriptText(),
            "1.234 9600 E\n"
            "2000.000 9600 B028800\n"
            "2500.001 28800 JHI\\n\n");
}

TEST(SimulatedUnitTest, StatsCountBytesBothWays) {
  SimulatedUnit unit;
  Feed(unit, "EA000000L000010M");
  EXPECT_EQ(unit.stats().bytesReceived, 1u + 7 + 7 + 1);
  EXPECT_EQ(unit.stats().bytesSent, 2u + 32);
}

// The memory helpers that put a unit's firmware and configuration in place.
TEST(SimulatedUnitMemoryTest, CodeRegionSumIsExactFromZeroToFull) {
  for (uint32_t sum : {0u, 1u, 0x5A3C21u, 0x6F0A31u, 0xE000u * 255u - 1, 0xE000u * 255u}) {
    SimulatedUnit unit;
    unit.SetCodeRegionChecksum(sum);
    EXPECT_EQ(unit.MemorySum(0x8000, 0xE000), sum) << sum;
    EXPECT_EQ(unit.MemorySum(0x7FFF, 1) + unit.MemorySum(0x16000, 1), 0u);
  }
}

TEST(SimulatedUnitMemoryTest, CodeRegionIsVariedAndTheSameForTheSameSum) {
  SimulatedUnit a;
  SimulatedUnit b;
  a.SetCodeRegionChecksum(0x6F0A31);
  b.SetCodeRegionChecksum(0x6F0A31);
  EXPECT_EQ(a.memory(), b.memory());
  std::set<uint8_t> values(a.memory().begin() + 0x8000, a.memory().begin() + 0x16000);
  EXPECT_GT(values.size(), 64u);
}

TEST(SimulatedUnitMemoryTest, ConfigRecordsCarryTheirChecksumsOrDeliberatelyWrongOnes) {
  for (uint32_t size : {layout::kRecordV1, layout::kRecordV2, layout::kRecordV3}) {
    SimulatedUnit valid;
    valid.WriteConfigRecords(size, 7, true);
    SimulatedUnit invalid;
    invalid.WriteConfigRecords(size, 7, false);
    for (uint32_t r = 0; r < layout::kRecords; ++r) {
      const uint8_t* good = valid.memory().data() + 0x4000 + r * size;
      const uint8_t* bad = invalid.memory().data() + 0x4000 + r * size;
      EXPECT_TRUE(RecordPassesChecksum(good, size)) << size << " record " << r;
      EXPECT_FALSE(RecordPassesChecksum(bad, size)) << size << " record " << r;
      // Only the stored checksum differs.
      EXPECT_TRUE(std::equal(good, good + ChecksumOffset(size), bad));
      EXPECT_NE(good[0], 0x3A);
    }
    // Nothing is written beyond the six records.
    EXPECT_EQ(valid.memory()[0x4000 + 6 * size], 0);
    EXPECT_EQ(valid.memory()[0x3FFF], 0);
  }
  SimulatedUnit other;
  other.WriteConfigRecords(layout::kRecordV2, 8, true);
  SimulatedUnit same;
  same.WriteConfigRecords(layout::kRecordV2, 7, true);
  SimulatedUnit again;
  again.WriteConfigRecords(layout::kRecordV2, 7, true);
  EXPECT_EQ(same.memory(), again.memory());
  EXPECT_NE(same.memory(), other.memory());
}

TEST(SimulatedUnitMemoryTest, FilledConfigRegionPassesNoRecordTest) {
  for (uint8_t value : {uint8_t{0x00}, uint8_t{0xFF}}) {
    SimulatedUnit unit;
    unit.FillConfigRegion(value);
    EXPECT_EQ(unit.memory()[0x4000], value);
    EXPECT_EQ(unit.memory()[0x7FFF], value);
    EXPECT_EQ(unit.memory()[0x8000], 0);
    EXPECT_FALSE(RecordPassesChecksum(unit.memory().data() + 0x4000, layout::kRecordV1));
    EXPECT_FALSE(RecordPassesChecksum(unit.memory().data() + 0x4000, layout::kRecordV2));
  }
}

// Injected faults.
TEST(SimulatedUnitFaultTest, AbsentUnitTakesNothing) {
  SimulatedUnit unit;
  unit.faults().absent = true;
  EXPECT_EQ(Feed(unit, "EB028800H"), "");
  EXPECT_EQ(unit.speed(), 9600u);
  EXPECT_TRUE(unit.transcript().empty());
  EXPECT_EQ(unit.stats().bytesReceived, 0u);
}

TEST(SimulatedUnitFaultTest, SilentSpeedLosesRepliesButCommandsStillAct) {
  SimulatedUnit unit;
  unit.faults().silentSpeeds = {28800};
  Feed(unit, "B028800");
  EXPECT_EQ(Feed(unit, "EA000010"), "");
  EXPECT_EQ(unit.currentAddress(), 0x10u);
  Feed(unit, "B014400");
  EXPECT_EQ(unit.speed(), 14400u);
  EXPECT_EQ(Feed(unit, "E"), "Ok");
}

TEST(SimulatedUnitFaultTest, SilentSpeedCanAnswerUntilLaterSpeedCommands) {
  SimulatedUnit unit;
  unit.faults().silentSpeeds = {28800};
  unit.faults().silentSpeedsAfterSpeedCommands = 2;
  Feed(unit, "B028800");
  EXPECT_EQ(Feed(unit, "E"), "Ok");
  Feed(unit, "B014400");
  EXPECT_EQ(Feed(unit, "E"), "Ok");
  Feed(unit, "B028800");
  EXPECT_EQ(Feed(unit, "E"), "");
  EXPECT_EQ(unit.stats().speedChanges, 3u);
}

TEST(SimulatedUnitFaultTest, ProbeAndGreetingRepliesCanBeChanged) {
  SimulatedUnit unit;
  unit.faults().probeReply = "Ok\r\n";
  unit.faults().greetingNeverAnswers = true;
  EXPECT_EQ(Feed(unit, "E"), "Ok\r\n");
  EXPECT_EQ(Feed(unit, "GH"), "GOkErr");
}

TEST(SimulatedUnitFaultTest, ChecksumFaultsApplyPerAddressAndAttempt) {
  SimulatedUnit unit;
  std::fill(unit.memory().begin(), unit.memory().begin() + 0x800, 0x01);
  auto& faults = unit.faults().checksumFaults;
  faults[{0x000, 0}] = {ChecksumFaultKind::kWrong};
  faults[{0x000, 1}] = {ChecksumFaultKind::kMissing};
  faults[{0x000, 2}] = {ChecksumFaultKind::kMalformed};
  faults[{0x000, 3}] = {ChecksumFaultKind::kShort};
  faults[{0x400, 0}] = {ChecksumFaultKind::kLate, 450};
  unit.faults().strayBeforeChecksum[{0x400, 1}] = "\r";

  std::string reply;
  Feed(unit, "L000400A000000");
  for (const char* expected : {"CS=00000401", "", "CX=00000400", "CS=400", "CS=00000400"}) {
    reply.clear();
    EXPECT_EQ(unit.Receive('C', &reply), 0u);
    EXPECT_EQ(reply, expected);
    Feed(unit, "A000000");  // a repeated attempt at the same address
  }
  Feed(unit, "A000400");
  reply.clear();
  EXPECT_EQ(unit.Receive('C', &reply), 450u);
  EXPECT_EQ(reply, "CS=00000400");
  EXPECT_EQ(Feed(unit, "C"), "\rCS=00000400");
  // Each fault happened once: back at 0x000 the unit answers as usual.
  EXPECT_EQ(Feed(unit, "A000000C"), "CS=00000400");
  EXPECT_EQ(unit.stats().checksumQueries, 8u);
}

TEST(SimulatedUnitFaultTest, UnitFallsSilentAfterChecksumReplies) {
  SimulatedUnit unit;
  unit.faults().silentAfterChecksums = 2;
  EXPECT_EQ(Feed(unit, "C"), "CS=00000000");
  EXPECT_FALSE(unit.dead());
  EXPECT_EQ(Feed(unit, "C"), "CS=00000000");
  EXPECT_TRUE(unit.dead());
  EXPECT_EQ(Feed(unit, "C"), "");
  EXPECT_EQ(Feed(unit, "EH"), "");
  // It still follows commands.
  Feed(unit, "A000123");
  EXPECT_EQ(unit.currentAddress(), 0x123u);
}

TEST(SimulatedUnitFaultTest, UnitFallsSilentAfterDataBlocks) {
  SimulatedUnit unit;
  unit.faults().silentAfterBlocks = 1;
  EXPECT_EQ(Feed(unit, "L000002E"), "Ok");
  Feed(unit, "A000000Dab");
  EXPECT_EQ(Feed(unit, "CE"), "");
  Feed(unit, "A000002Dcd");
  EXPECT_EQ(std::string(unit.memory().begin(), unit.memory().begin() + 4), "abcd");
  EXPECT_EQ(unit.stats().dataBlocks, 2u);
}

// A whole update through the session fixture, as the tests of the phases use it.
TEST(SimSessionTest, WholeUpdateLeavesTheImagesInTheUnitAndFlashes) {
  SimSession sim;
  const ReleaseTable& table = sim.payload.releaseTable;
  // A unit of the payload's model on the oldest release the table knows for that model.
  uint32_t row = table.rows;
  for (uint32_t i = 0; i < table.rows; ++i) {
    if (table.kind[i] == sim.payload.productKind &&
        IsOlder(table.code[i], sim.payload.releaseCode) &&
        FindReleaseRow(table, table.checksum[i]) == i) {
      row = i;
      break;
    }
  }
  ASSERT_LT(row, table.rows);
  sim.unit.SetCodeRegionChecksum(table.checksum[row]);
  sim.unit.WriteConfigRecords(layout::kRecordV2, 3, true);

  EXPECT_EQ(sim.Run({}, "k"), 1);
  EXPECT_TRUE(sim.unit.flashed());
  ASSERT_NE(sim.state, nullptr);
  EXPECT_EQ(sim.state->facts.releaseRow, row);
  const std::vector<uint8_t>& memory = sim.unit.memory();
  const layout::Range first = layout::kMainFirst;
  const layout::Range second = layout::kMainSecond;
  EXPECT_TRUE(std::equal(memory.begin() + first.start, memory.begin() + first.end,
                         sim.payload.SwImage + first.start));
  EXPECT_TRUE(std::equal(memory.begin() + second.start, memory.begin() + second.end,
                         sim.payload.SwImage + second.start));
  EXPECT_EQ(sim.unit.messages(),
            (std::vector<std::string>{"DOWNLOADING UPDATE", "FLASHING DONE IN ABOUT 30 SECS"}));
  const Commands commands = sim.unit.Commands();
  ASSERT_GE(commands.size(), 3u);
  EXPECT_EQ(commands.front(), "E");
  EXPECT_EQ(commands.back(), "F5382");
  EXPECT_EQ(sim.unit.stats().noiseBytes, 0u);
  EXPECT_NE(sim.console.output().find("Press a key to exit program"), std::string::npos);
  EXPECT_EQ(sim.console.keysRead(), 1);
  EXPECT_FALSE(sim.devices.lineOpen());
}

}  // namespace
}  // namespace quorel::sim
