// Whole updates through the real driver against the simulated unit, on the virtual clock:
// connection and the speed ladder, the greeting, identification, the image download and the
// flash commit, with their console texts, wire traffic, exit statuses and the unit's memory.
#include <gtest/gtest.h>

#include <unistd.h>

#include <memory>

#include "driver/driver.h"
#include "os/cancel.h"
#include "payload/release_code.h"
#include "protocol/protocol.h"
#include "serial/line_decorator.h"
#include "sim/sim_session.h"
#include "sim/unit_layout.h"
#include "support/console_texts.h"
#include "support/posix_child.h"
#include "support/sim_helpers.h"

namespace quorel {
namespace {

// The unit's memory map and record layouts, as the simulated unit describes them.
namespace layout = sim::layout;
using layout::kConfigBase;
using layout::kConfigEnd;
using layout::kRecordV1;
using layout::kRecordV2;
using layout::kMovedRecordMark;

using testing::kBanner;
using testing::kPrompt;
using testing::kNotInUpdateMode;
using testing::kFlashText;

using sim::ChecksumFault;
using sim::ChecksumFaultKind;
using sim::SimSession;
using testing::Between;
using testing::ChecksumOfRelease;
using testing::CountOf;
using testing::Dots;
using testing::IndexOf;
using testing::MemoryEquals;
using testing::RangeEquals;
using testing::SpeedOf;


// A Pro unit on 101203 needs no configuration conversion but does need the second image.
void PutProUnitOn(SimSession& s, ReleaseCode code) {
  s.unit.SetCodeRegionChecksum(ChecksumOfRelease(s.payload, kProModel, code));
}

TEST(UpdateRoad, CompletesAnUpdateOfAnOlderProUnit) {
  SimSession s;
  PutProUnitOn(s, 0x101203);
  EXPECT_EQ(s.Run(), 1);
  EXPECT_EQ(s.console.output(),
            kBanner + "Connected\n" + "\nChecking version..\n" +
                "Unit confirmed as QuorelPro with firmware rev 101203.\nUpdate proceeding..\n\n" +
                "\nSending SW update.." + Dots(114) + "\nSending HW update.." + Dots(177) +
                "\nVerifying.." + Dots(4) + kFlashText + kPrompt);
  EXPECT_EQ(s.console.keysRead(), 1);

  // The unit holds both images over every range written, and flashed last.
  const FirmwarePayload& p = s.payload;
  EXPECT_TRUE(RangeEquals(s.unit, layout::kMainFirst, p.SwImage));
  EXPECT_TRUE(RangeEquals(s.unit, layout::kMainSecond, p.SwImage + layout::kMainSecond.start));
  EXPECT_TRUE(RangeEquals(s.unit, layout::kSecondImage, p.HwImage));
  std::vector<std::string> c = s.unit.Commands();
  ASSERT_GE(c.size(), 2u);
  EXPECT_EQ(c[c.size() - 2], "JFLASHING DONE IN ABOUT 30 SECS\n");
  EXPECT_EQ(c.back(), "F5382");
  EXPECT_TRUE(s.unit.flashed());
  EXPECT_EQ(CountOf(c, "X"), 0u);
}

TEST(UpdateRoad, WireSequenceFromFirstContactToTheDownload) {
  SimSession s;
  PutProUnitOn(s, 0x110503);
  ASSERT_EQ(s.Run(), 1);
  std::vector<std::string> c = s.unit.Commands();
  std::vector<std::string> expected = {"E", "B028800"};
  for (int i = 0; i < 20; ++i) expected.push_back("E");
  for (const char* cmd : {"E", "G", "H", "A008000", "L00e000", "C", "T", "K", "E", "V0", "T", "V0",
                          "A004000", "L000400", "C"}) {
    expected.push_back(cmd);
  }
  // The configuration area's sums, which this run does not write, before the download.
  for (const char* cmd : {"A004400", "A004800", "A004C00", "A005000", "A005400", "A005800",
                          "A005C00", "A006000", "A006400", "A006800", "A006C00", "A007000",
                          "A007400", "A007800", "A007C00"}) {
    expected.push_back(cmd);
    expected.push_back("C");
  }
  for (const char* cmd : {"JDOWNLOADING UPDATE\n", "E", "L000400", "K", "A000000", "D[1024]", "C",
                          "A000400"}) {
    expected.push_back(cmd);
  }
  ASSERT_GE(c.size(), expected.size());
  EXPECT_EQ(std::vector<std::string>(c.begin(), c.begin() + static_cast<long>(expected.size())),
            expected);
  EXPECT_EQ(SpeedOf(s.unit, "E", 0), 9600u);
  EXPECT_EQ(SpeedOf(s.unit, "B028800"), 9600u);
  EXPECT_EQ(SpeedOf(s.unit, "E", 1), 28800u);
  EXPECT_EQ(SpeedOf(s.unit, "A008000"), 28800u);
  // Every port open of the run is COM1 with parity 0.
  for (const sim::OpenRecord& open : s.devices.opens()) {
    EXPECT_EQ(open.name, "COM1");
    EXPECT_EQ(open.parity, 0);
  }
}

TEST(UpdateRoad, DownloadSetsLengthsAndAddressesInOrder) {
  SimSession s;
  PutProUnitOn(s, 0x101203);  // needs the second image
  ASSERT_EQ(s.Run(), 1);
  std::vector<std::string> c = s.unit.Commands();
  std::vector<std::string> lengths;
  std::vector<std::string> addresses;
  const size_t download = IndexOf(c, "JDOWNLOADING UPDATE\n");
  for (size_t i = download; i < IndexOf(c, "A004000", download); ++i) {
    if (c[i][0] == 'L') lengths.push_back(c[i]);
    if (c[i][0] == 'A') addresses.push_back(c[i]);
  }
  EXPECT_EQ(lengths, (std::vector<std::string>{"L000400", "L000332", "L000400", "L00001E"}));
  ASSERT_EQ(addresses.size(), 16u + 98u + 177u);
  EXPECT_EQ(addresses[0], "A000000");
  EXPECT_EQ(addresses[15], "A003C00");
  EXPECT_EQ(addresses[16], "A008000");
  EXPECT_EQ(addresses[16 + 97], "A020400");
  EXPECT_EQ(addresses[16 + 98], "A040000");
  EXPECT_EQ(addresses.back(), "A06C000");
  // The short blocks carry exactly their lengths; nothing lands in 0x4000..0x7FFF.
  EXPECT_EQ(c[IndexOf(c, "A020400") + 1], "D[818]");
  EXPECT_EQ(c[IndexOf(c, "A06C000") + 1], "D[30]");
  for (uint32_t a = kConfigBase; a < kConfigEnd; a += layout::kImageBlock) {
    EXPECT_EQ(s.unit.stats().dataBlocksAt.count(a), 0u);
  }
}

struct HwImageCase {
  ProductKind payloadKind;
  ProductKind unitKind;
  ReleaseCode unitRelease;
  bool sent;
};

TEST(UpdateRoad, SecondImageGoesOnlyToUnitsOlderThanTheModelsRelease) {
  const HwImageCase cases[] = {
      {kProModel, kProModel, 0x110503, false},   // equal is not older
      {kProModel, kProModel, 0x110603, false},
      {kProModel, kProModel, 0x101003, true},
      {kBaseModel, kBaseModel, 0x111103, false},
      {kBaseModel, kBaseModel, 0x110603, true},
      {kBaseModel, kBaseModel, 0x101003, true},
  };
  for (const HwImageCase& hw : cases) {
    SimSession s;
    s.payload.productKind = hw.payloadKind;
    s.unit.SetCodeRegionChecksum(ChecksumOfRelease(s.payload, hw.unitKind, hw.unitRelease));
    ASSERT_EQ(s.Run(), 1) << std::hex << hw.unitRelease;
    bool sent = IndexOf(s.unit.Commands(), "A040000") < s.unit.Commands().size();
    EXPECT_EQ(sent, hw.sent) << "payload kind " << hw.payloadKind << " unit " << std::hex
                             << hw.unitRelease;
    EXPECT_EQ(s.console.output().find("\nSending HW update..") != std::string::npos, hw.sent);
  }
}

TEST(UpdateRoad, PayloadReleaseIsUpToDateAndAsksBeforeReflashing) {
  SimSession s;
  s.unit.SetCodeRegionChecksum(0x4A80EB);  // the payload's own Pro row 160
  EXPECT_EQ(s.Run({}, "n"), 1);
  EXPECT_NE(s.console.output().find(
                "\nChecking version..\nUnit's rev is up to date (csum:4a80eb ind:160)\n"
                "Are you sure you want to run update for QuorelPro rev 020904 (y/n)"
                "\nFirmware not updated...Exiting\n" +
                kPrompt),
            std::string::npos);
  EXPECT_FALSE(s.unit.flashed());
}

// What a progress display is told during a run.
struct RecordedProgress : ProgressObserver {
  uint32_t total = 0;
  std::vector<uint64_t> leftNs;
  std::vector<uint32_t> done;
  void Planned(uint32_t totalBlocks, const std::vector<uint64_t>& left) override {
    total = totalBlocks;
    leftNs = left;
  }
  void BlocksWritten(uint32_t count) override { done.push_back(count); }
};

// An update with conversion: 66 blocks of 256 bytes for the six 2808-byte records, 16 + 98 of
// the main image (0x4000 and 0x18732 bytes by 1024), 177 of the second (0x2C01E bytes).
RecordedProgress ProgressOfConvertingUpdate(const std::vector<const char*>& options) {
  SimSession s;
  PutProUnitOn(s, 0x042303);
  s.unit.WriteConfigRecords(kRecordV1, 7, true);
  RecordedProgress progress;
  UpdateState& state = s.NewState();
  state.progress = &progress;
  std::vector<const char*> argv{"quorel-update"};
  argv.insert(argv.end(), options.begin(), options.end());
  EXPECT_EQ(RunUpdate(state, static_cast<int>(argv.size()), argv.data()), 1);
  EXPECT_TRUE(s.unit.flashed());
  return progress;
}

TEST(UpdateRoad, ProgressDisplayIsToldEveryBlockOfThePlannedUpdate) {
  const RecordedProgress paced = ProgressOfConvertingUpdate({});
  EXPECT_EQ(paced.total, 357u);
  // Every block once, in order; the count already written repeated once with the plan.
  std::vector<uint32_t> expected;
  for (uint32_t k = 1; k <= 66; ++k) expected.push_back(k);
  for (uint32_t k = 66; k <= 357; ++k) expected.push_back(k);
  EXPECT_EQ(paced.done, expected);
  // The time left shrinks with every block, and the check before the flash is still to come
  // after the last.
  ASSERT_EQ(paced.leftNs.size(), 358u);
  for (size_t k = 1; k < paced.leftNs.size(); ++k) {
    EXPECT_LT(paced.leftNs[k], paced.leftNs[k - 1]) << k;
  }
  EXPECT_GT(paced.leftNs.back(), 0u);

  // --fast: the same blocks at the prompt pace, so less time left at every count.
  const RecordedProgress fast = ProgressOfConvertingUpdate({"--fast"});
  ASSERT_EQ(fast.leftNs.size(), 358u);
  EXPECT_LT(fast.leftNs[0], paced.leftNs[0]);
  EXPECT_LT(fast.leftNs[300], paced.leftNs[300]);
}

// ---- Connection and the speed ladder ----

TEST(Connection, UnitAnsweringEverywhereConnectsAtTheWantedSpeed) {
  SimSession s;
  PutProUnitOn(s, 0x110503);
  ASSERT_EQ(s.Run(), 1);
  EXPECT_EQ(s.console.output().find("not working"), std::string::npos);
  EXPECT_EQ(CountOf(s.unit.Commands(), "B028800"), 1u);
}

TEST(Connection, StepsDownTheLadderUntilTheUnitAnswers) {
  SimSession s;
  PutProUnitOn(s, 0x110503);
  s.unit.faults().silentSpeeds = {28800, 14400};
  ASSERT_EQ(s.Run(), 1);
  EXPECT_NE(s.console.output().find(
                "28800k RS232 speed not working trying 14400k \n"
                "14400k RS232 speed not working trying 9600k \nConnected\n"),
            std::string::npos);
  EXPECT_EQ(SpeedOf(s.unit, "B014400"), 28800u);
  EXPECT_EQ(SpeedOf(s.unit, "B009600"), 14400u);
  EXPECT_EQ(SpeedOf(s.unit, "F5382"), 9600u);  // the negotiated speed holds for the whole run
}

TEST(Connection, SlowestSpeedFailsAfterTryingOneThousand) {
  SimSession s;
  s.unit.faults().silentSpeeds = {2400};
  EXPECT_EQ(s.Run({"-s4"}), 0);
  EXPECT_EQ(s.console.output(), kBanner +
                                    "2400k RS232 speed not working trying 1000k \n"
                                    "RS232 communication problem. Update exiting\n"
                                    "Connection cannot be made\n" +
                                    kPrompt);
  std::vector<std::string> c = s.unit.Commands();
  // The unit answers at 1000, but 1000 is never accepted.
  EXPECT_EQ(c[c.size() - 3], "B001000");
  EXPECT_EQ(c[c.size() - 2], "E");
  EXPECT_EQ(c.back(), "X");
  EXPECT_EQ(SpeedOf(s.unit, "X"), 1000u);
  EXPECT_EQ(s.devices.opens().back().speed, 1000);
  EXPECT_FALSE(s.devices.lineOpen());
}

TEST(Connection, NineSixHundredStillSwitchesAndChoosesThePort) {
  SimSession s;
  s.devices.SetPortNames({"COM3"});
  PutProUnitOn(s, 0x110503);
  ASSERT_EQ(s.Run({"-c3", "-s2"}), 1);
  EXPECT_EQ(s.unit.Commands()[1], "B009600");
  for (const sim::OpenRecord& open : s.devices.opens()) EXPECT_EQ(open.name, "COM3");
  EXPECT_EQ(s.devices.opens()[1].speed, 9600);
}

TEST(Connection, IgnoredArgumentsAndLaterOptionsWin) {
  SimSession s;
  PutProUnitOn(s, 0x110503);
  ASSERT_EQ(s.Run({"foo", "-s0", "-s1", "-c12"}), 1);
  EXPECT_EQ(s.unit.Commands()[1], "B014400");
  EXPECT_EQ(s.devices.opens()[0].name, "COM1");
}

TEST(Connection, NoUnitAtAllSendsNothingButTheProbe) {
  SimSession s;
  s.unit.faults().absent = true;
  EXPECT_EQ(s.Run(), 0);
  EXPECT_EQ(s.console.output(), kBanner + kNotInUpdateMode + kPrompt);
  EXPECT_EQ(s.devices.written(), "E");
}

TEST(Connection, MissingPortLooksLikeASilentUnit) {
  SimSession s;
  s.devices.SetPortNames({"COM2"});
  EXPECT_EQ(s.Run(), 0);
  EXPECT_EQ(s.console.output(), kBanner + kNotInUpdateMode + kPrompt);
  EXPECT_EQ(s.devices.opens()[0].result, kOpenFailed);
}

TEST(Connection, ReplyWithALineEndIsNotOk) {
  SimSession s;
  s.unit.faults().probeReply = "Ok\r\n";
  EXPECT_EQ(s.Run(), 0);
  EXPECT_EQ(s.console.output(), kBanner + kNotInUpdateMode + kPrompt);
}

TEST(Greeting, UnansweredGreetingRepeatsTenTimesAndGoesOn) {
  SimSession s;
  PutProUnitOn(s, 0x110503);
  s.unit.faults().greetingNeverAnswers = true;
  ASSERT_EQ(s.Run(), 1);
  std::string repeats;
  for (int i = 0; i < 10; ++i) repeats += "Info: ret Err\nRetry001:" + std::to_string(i) + "\n";
  EXPECT_NE(s.console.output().find("Connected\n" + repeats + "\nChecking version..\n"),
            std::string::npos);
  EXPECT_EQ(CountOf(s.unit.Commands(), "H"), 11u);
  EXPECT_TRUE(s.unit.flashed());
}

// ---- Identification ----

TEST(Identification, OtherModelIsRefusedWithItsRow) {
  for (auto [checksum, row] : {std::pair<uint32_t, int>{0x4C0AC6, 94}, {0x4C3260, 81}}) {
    SimSession s;
    s.unit.SetCodeRegionChecksum(checksum);
    EXPECT_EQ(s.Run(), 1);
    EXPECT_EQ(s.console.output(),
              kBanner + "Connected\n\nChecking version..\n"
                        "Unit ID's as Quorel   , but this firmware is for a QuorelPro (ind:" +
                  std::to_string(row) + ")\nFirmware not updated...Exiting\n" + kPrompt);
    EXPECT_EQ(s.unit.Commands().back(), "X");
    EXPECT_FALSE(s.devices.lineOpen());
  }
}

TEST(Identification, SharedChecksumTakesTheFirstRow) {
  SimSession s;
  s.unit.SetCodeRegionChecksum(0x4C20E2);  // rows 95, 99, 103, 107
  ASSERT_EQ(s.Run(), 1);
  EXPECT_NE(s.console.output().find(
                "Unit confirmed as QuorelPro with firmware rev 091103.\nUpdate proceeding..\n\n"),
            std::string::npos);
  EXPECT_EQ(s.state->facts.releaseRow, 95u);
  EXPECT_EQ(s.state->facts.unitChecksum, 0x4C20E2u);
}

TEST(Identification, UnknownUnitAsksAndOnlyYesGoesOn) {
  struct Answer {
    std::string keys;
    bool proceeds;
  };
  for (const Answer& answer : {Answer{"y", true}, Answer{"Y", true}, Answer{"n", false},
                               Answer{"\r", false}, Answer{"\n", false}, Answer{"", false}}) {
    SimSession s;
    s.unit.SetCodeRegionChecksum(0x123456);
    const std::string question =
        "\nChecking version..\nCould not confirm unit ID (csum=123456)\n"
        "Are you sure you want to run update for QuorelPro rev 020904 (y/n)";
    int status = s.Run({}, answer.keys);
    EXPECT_EQ(status, 1);
    const std::string& out = s.console.output();
    if (answer.proceeds) {
      EXPECT_NE(out.find(question + "\nUpdate proceeding..\n\n"), std::string::npos);
      EXPECT_TRUE(s.unit.flashed());
    } else {
      EXPECT_EQ(out, kBanner + "Connected\n" + question + "\nFirmware not updated...Exiting\n" +
                         kPrompt);
      EXPECT_EQ(s.unit.Commands().back(), "X");
      EXPECT_FALSE(s.unit.flashed());
    }
  }
}

TEST(Identification, UnreadableReplyNeverMatchesTheZeroChecksumRow) {
  // Row 32 holds the checksum 0; a unit whose code region sums to 0 but whose reply cannot be
  // read must still come to the question.
  for (ChecksumFaultKind fault : {ChecksumFaultKind::kMissing, ChecksumFaultKind::kMalformed}) {
    SimSession s;
    s.unit.SetCodeRegionChecksum(0);
    s.unit.faults().checksumFaults[{layout::kCodeRegionStart, 0}] = ChecksumFault{fault, 0};
    EXPECT_EQ(s.Run({}, "n"), 1);
    EXPECT_NE(s.console.output().find("Could not confirm unit ID (csum=ffffffff)\n"
                                      "Are you sure you want to run update"),
              std::string::npos);
  }
  SimSession readable;
  readable.unit.SetCodeRegionChecksum(0);
  EXPECT_EQ(readable.Run(), 1);
  EXPECT_NE(readable.console.output().find("(ind:32)"), std::string::npos);
}

TEST(Identification, WaitsASecondBeforeReadingTheChecksum) {
  SimSession s;
  PutProUnitOn(s, 0x110503);
  s.unit.faults().checksumFaults[{layout::kCodeRegionStart, 0}] =
      ChecksumFault{ChecksumFaultKind::kLate, 1400};
  EXPECT_EQ(s.Run({}, "n"), 1);  // 1400 ms is past the 1000 ms sleep and the 320 ms wait
  EXPECT_NE(s.console.output().find("Could not confirm unit ID"), std::string::npos);

  SimSession inTime;
  PutProUnitOn(inTime, 0x110503);
  inTime.unit.faults().checksumFaults[{layout::kCodeRegionStart, 0}] =
      ChecksumFault{ChecksumFaultKind::kLate, 1100};
  EXPECT_EQ(inTime.Run(), 1);
  EXPECT_TRUE(inTime.unit.flashed());
}

TEST(ReleaseCodes, LeastSignificantByteDecidesFirstThenTheYear) {
  EXPECT_EQ(CompareReleaseCodes(0x020904, 0x020904), 0);
  EXPECT_EQ(CompareReleaseCodes(0x123103, 0x011204), -1);
  EXPECT_EQ(CompareReleaseCodes(0x020904, 0x101203), 1);
  EXPECT_EQ(CompareReleaseCodes(0x042303, 0x042403), -1);
  // Byte 2 before byte 1: 042803 lies between the two configuration thresholds.
  EXPECT_EQ(CompareReleaseCodes(0x042803, 0x042403), 1);
  EXPECT_EQ(CompareReleaseCodes(0x042803, 0x101203), -1);
  EXPECT_EQ(CompareReleaseCodes(0x110603, 0x110503), 1);
  EXPECT_EQ(CompareReleaseCodes(0xFF020904, 0x020904), 0);  // bits 24-31 play no part
}

// ---- Block verification, repeats and the attempt bound ----

TEST(Download, FirstRangeRepeatsWithRetry003OnlyAfterAParsedReply) {
  SimSession s;
  PutProUnitOn(s, 0x110503);
  s.unit.faults().checksumFaults[{0x0000, 0}] = ChecksumFault{ChecksumFaultKind::kWrong, 0};
  s.unit.faults().checksumFaults[{0x0400, 0}] = ChecksumFault{ChecksumFaultKind::kMissing, 0};
  ASSERT_EQ(s.Run(), 1);
  EXPECT_NE(s.console.output().find("\nSending SW update..Retry003\n" + Dots(114) + "\nVerifying"),
            std::string::npos);
  EXPECT_EQ(s.unit.stats().dataBlocksAt.at(0x0000), 2u);
  EXPECT_EQ(s.unit.stats().dataBlocksAt.at(0x0400), 2u);
}

TEST(Download, SecondRangeReportsEachFailedAttempt) {
  SimSession s;
  PutProUnitOn(s, 0x110503);
  // The second block of the range: the first shares its address with the identification.
  const uint32_t sum = BlockChecksum(s.payload.SwImage + 0x8400, 0x400);
  s.unit.faults().checksumFaults[{0x8400, 0}] = ChecksumFault{ChecksumFaultKind::kWrong, 0};
  s.unit.faults().checksumFaults[{0x8400, 1}] = ChecksumFault{ChecksumFaultKind::kMissing, 0};
  ASSERT_EQ(s.Run(), 1);
  char expected[200];
  std::snprintf(expected, sizeof expected,
                "cs err,rs=%x cs=%x\nRetry#1\ncs err,rs=%x cs=%x\nRetry#2\n", sum + 1, sum,
                sum + 1, sum);
  EXPECT_NE(s.console.output().find(Dots(17) + expected + "."), std::string::npos);
  EXPECT_EQ(s.unit.stats().dataBlocksAt.at(0x8400), 3u);
  EXPECT_TRUE(s.unit.flashed());
}

TEST(Download, AllZeroBlockWithoutAReplyIsNotTakenAsVerified) {
  SimSession s;
  PutProUnitOn(s, 0x110503);
  s.unit.faults().checksumFaults[{0x0C00, 0}] = ChecksumFault{ChecksumFaultKind::kMissing, 0};
  ASSERT_EQ(s.Run(), 1);
  EXPECT_EQ(s.unit.stats().dataBlocksAt.at(0x0C00), 2u);
  // A short reply that parses is as good as eight digits.
  SimSession shortReply;
  PutProUnitOn(shortReply, 0x110503);
  shortReply.unit.faults().checksumFaults[{0x8400, 0}] = ChecksumFault{ChecksumFaultKind::kShort, 0};
  ASSERT_EQ(shortReply.Run(), 1);
  EXPECT_EQ(shortReply.unit.stats().dataBlocksAt.at(0x8400), 1u);
}

TEST(Download, StrayByteBeforeAReplyCostsOneRepeat) {
  SimSession s;
  PutProUnitOn(s, 0x101203);
  for (uint32_t a : {0x0000u, 0x9000u, 0x41000u}) s.unit.faults().strayBeforeChecksum[{a, 0}] = "#";
  ASSERT_EQ(s.Run(), 1);
  for (uint32_t a : {0x0000u, 0x9000u, 0x41000u}) EXPECT_EQ(s.unit.stats().dataBlocksAt.at(a), 2u);
  // Every other block went once (the last once more before the flash): the line
  // resynchronised at the repeat.
  EXPECT_EQ(s.unit.stats().dataBlocks, 16u + 98u + 177u + 3u + 1u);
  EXPECT_TRUE(s.unit.flashed());
}

TEST(Download, UnitThatStopsAnsweringEndsTheRunWithoutFlashing) {
  SimSession s;
  PutProUnitOn(s, 0x101203);
  s.unit.faults().silentAfterBlocks = 40;  // answers 39 blocks, then dies in the second range
  const uint64_t start = s.clock.NowNs();
  EXPECT_EQ(s.Run(), 0);
  std::vector<std::string> c = s.unit.Commands();
  EXPECT_EQ(CountOf(c, "F5382"), 0u);
  EXPECT_EQ(c.back(), "X");
  EXPECT_FALSE(s.devices.lineOpen());
  const std::string& out = s.console.output();
  EXPECT_NE(out.find("\nNo verified reply from the unit for the main image block at 00DC00 after "
                     "10 attempts.\nThe unit was not flashed. Update exiting\n" +
                     kPrompt),
            std::string::npos);
  EXPECT_NE(out.find("Retry#9\n"), std::string::npos);
  EXPECT_EQ(out.find("Retry#10"), std::string::npos);
  EXPECT_EQ(s.unit.stats().dataBlocksAt.at(0xDC00), 10u);
  // A dead unit costs seconds, not minutes.
  EXPECT_LT(s.clock.NowNs() - start, 120ull * 1000 * kNsPerMs);
}

TEST(Download, DeadUnitInTheFirstRangeIsReportedToo) {
  SimSession s;
  PutProUnitOn(s, 0x110503);
  s.unit.faults().silentAfterBlocks = 3;
  EXPECT_EQ(s.Run(), 0);
  EXPECT_NE(s.console.output().find("main image block at 000800"), std::string::npos);
  EXPECT_EQ(CountOf(s.unit.Commands(), "F5382"), 0u);
}

TEST(Download, LateReplyIsNotReadAsTheAnswerToTheRepeat) {
  // The reply to the first attempt arrives while the repeat's data is on the wire; it is thrown
  // away, so the repeat reads its own reply and the next block reads its own too.
  SimSession s;
  PutProUnitOn(s, 0x110503);
  s.unit.faults().checksumFaults[{0x9000, 0}] = ChecksumFault{ChecksumFaultKind::kLate, 500};
  ASSERT_EQ(s.Run(), 1);
  EXPECT_EQ(s.unit.stats().dataBlocksAt.at(0x9000), 2u);
  EXPECT_EQ(s.unit.stats().dataBlocksAt.at(0x9400), 1u);
  EXPECT_EQ(s.unit.stats().dataBlocks, 16u + 98u + 1u + 1u);
}

// ---- The check before the flash ----

// The commands from the first at or after from that equals first, to the end.
std::vector<std::string> From(const std::vector<std::string>& c, const std::string& first,
                              size_t from) {
  return std::vector<std::string>(c.begin() + static_cast<long>(IndexOf(c, first, from)), c.end());
}

TEST(VerifyBeforeFlash, CleanPassAsksForEverySumAndEndsWithTheLastBlockAgain) {
  SimSession s;
  PutProUnitOn(s, 0x110503);  // no conversion, no second image
  ASSERT_EQ(s.Run(), 1);
  std::vector<std::string> expected;
  auto ask = [&](uint32_t address, const char* length) {
    char text[8];
    std::snprintf(text, sizeof text, "A%06X", address);
    expected.push_back(text);
    if (length != nullptr) expected.push_back(length);
    expected.push_back("C");
  };
  for (uint32_t a = kConfigBase; a < kConfigEnd; a += 0x400) {
    ask(a, a == kConfigBase ? "L000400" : nullptr);
  }
  const uint32_t block = layout::kImageBlock;
  const layout::Range first = layout::kMainFirst;
  for (uint32_t a = first.start; a < first.end; a += block) ask(a, nullptr);
  for (uint32_t a = layout::kMainSecond.start; a < 0x20400; a += block) ask(a, nullptr);
  ask(0x20400, "L000332");
  for (const char* cmd : {"A020400", "D[818]", "C", "JFLASHING DONE IN ABOUT 30 SECS\n", "F5382"}) {
    expected.push_back(cmd);
  }
  const std::vector<std::string> c = s.unit.Commands();
  EXPECT_EQ(From(c, "A004000", IndexOf(c, "D[818]")), expected);
  // The unit meets the flash command holding the last block's address and length.
  EXPECT_EQ(s.unit.currentAddress(), 0x20400u);
  EXPECT_EQ(s.unit.currentLength(), 0x332u);
  EXPECT_NE(s.console.output().find(Dots(114) + "\nVerifying.." + Dots(3) + "\nNow flashing"),
            std::string::npos);
}

TEST(VerifyBeforeFlash, BlockThatLandedElsewhereIsWrittenAgainOrTheRunEndsUnflashed) {
  const FirmwarePayload& p = SimSession().payload;
  {  // The last block taken as 0x8000: both places differ and are written again.
    SimSession s;
    PutProUnitOn(s, 0x110503);
    s.unit.faults().addressFaults[0x20400] = {0x8000, 1};
    ASSERT_EQ(s.Run(), 1);
    EXPECT_EQ(s.unit.stats().addressesMistaken, 1u);
    EXPECT_TRUE(RangeEquals(s.unit, layout::kMainFirst, p.SwImage));
    EXPECT_TRUE(RangeEquals(s.unit, layout::kMainSecond, p.SwImage + layout::kMainSecond.start));
    const std::string rewrote = " differs on the unit, writing it again\n";
    EXPECT_NE(s.console.output().find("\nVerifying.." + Dots(2) + "\nBlock at 008000" + rewrote +
                                      "\nBlock at 020400" + rewrote + "." + "\nVerifying.." +
                                      Dots(3) + "\nNow flashing"),
              std::string::npos);
    EXPECT_TRUE(s.unit.flashed());
  }
  // An image block taken as a place in the configuration area that the run leaves alone: all
  // of it without a conversion; from 0x76D8 on when record 5 is written over record 4.
  for (bool converted : {false, true}) {
    SimSession s;
    PutProUnitOn(s, converted ? 0x042303 : 0x110503);
    s.unit.WriteConfigRecords(converted ? kRecordV1 : kRecordV2, 3, true);
    if (converted) {
      s.unit.memory()[kConfigBase + 5 * kRecordV1] = kMovedRecordMark;
    }
    s.unit.faults().addressFaults[0x0400] = {converted ? 0x7C00u : 0x5000u, 1};
    EXPECT_EQ(s.Run(), 0);
    EXPECT_NE(s.console.output().find(std::string("\nVerifying..\nThe unit's configuration area "
                                                  "was overwritten on the line (at ") +
                                      (converted ? "007AD8" : "005000") +
                                      ").\nThe unit was not flashed. Update exiting\n" + kPrompt),
              std::string::npos);
    EXPECT_EQ(s.unit.Commands().back(), "X");
    EXPECT_FALSE(s.unit.flashed());
  }
  {  // Every A009000 taken as 0x9400: each pass finds and rewrites both, and never settles.
    SimSession s;
    PutProUnitOn(s, 0x110503);
    s.unit.faults().addressFaults[0x9000] = {0x9400, -1};
    EXPECT_EQ(s.Run(), 0);
    const std::string& out = s.console.output();
    EXPECT_NE(out.find("\nThe unit's memory could not be confirmed in 3 verification passes.\n"
                       "The unit was not flashed. Update exiting\n" + kPrompt),
              std::string::npos);
    EXPECT_EQ(CountOf(s.unit.Commands(), "F5382"), 0u);
    EXPECT_EQ(s.unit.Commands().back(), "X");
    // Both blocks in the download, then both again in each of the three passes.
    EXPECT_EQ(s.unit.stats().dataBlocksAt.at(0x9400), 2u + 2u * 3u);
  }
}

TEST(FastPace, ReadsTheSameRepliesAndWritesTheSameMemory) {
  SimSession ticked;
  PutProUnitOn(ticked, 0x101203);
  ticked.unit.faults().checksumFaults[{0x9000, 0}] = ChecksumFault{ChecksumFaultKind::kLate, 500};
  ASSERT_EQ(ticked.Run(), 1);
  SimSession fast;
  PutProUnitOn(fast, 0x101203);
  fast.unit.faults().checksumFaults[{0x9000, 0}] = ChecksumFault{ChecksumFaultKind::kLate, 500};
  ASSERT_EQ(fast.Run({"--fast"}), 1);
  EXPECT_EQ(fast.unit.Commands(), ticked.unit.Commands());
  EXPECT_EQ(fast.console.output(), ticked.console.output());
  EXPECT_TRUE(RangeEquals(fast.unit, layout::kSecondImage, fast.payload.HwImage));
}

TEST(PortLoss, DuringTheGreetingEndsBeforeAnyQuestion) {
  SimSession s;
  s.unit.SetCodeRegionChecksum(0x123456);  // would be asked about, were the port still there
  s.devices.LoseAfterBytesWritten(30);     // first contact, speed, 21 probes, then G is lost
  const uint64_t start = s.clock.NowNs();
  EXPECT_EQ(s.Run({}, "y"), 0);
  EXPECT_EQ(s.console.output(),
            kBanner + "Connected\n" +
                "\nThe serial port stopped working. The unit was not flashed. Update exiting\n" +
                kPrompt);
  EXPECT_LT(s.clock.NowNs() - start, 10ull * 1000 * kNsPerMs);
}

TEST(PortLoss, DuringTheConfigurationReadEndsWithinAReplyWait) {
  SimSession s;
  PutProUnitOn(s, 0x091103);
  s.unit.WriteConfigRecords(kRecordV2, 7, true);
  s.devices.LoseAfterBytesWritten(400);
  EXPECT_EQ(s.Run(), 0);
  EXPECT_NE(s.console.output().find("\nThe serial port stopped working during the configuration "
                                    "read"),
            std::string::npos);
  EXPECT_FALSE(s.unit.flashed());
}

TEST(Download, VanishingPortEndsTheRunAtOnce) {
  SimSession s;
  PutProUnitOn(s, 0x110503);
  s.devices.LoseAfterBytesWritten(20000);
  EXPECT_EQ(s.Run(), 0);
  EXPECT_NE(s.console.output().find("\nThe serial port stopped working during the main image"),
            std::string::npos);
  EXPECT_FALSE(s.unit.flashed());
  EXPECT_NE(s.console.output().find("The unit was not flashed. Update exiting\n" + kPrompt),
            std::string::npos);
}

// A run cut short by the user, on the virtual line. The cancellation flag cannot be lowered
// again, so each run goes in a child process, which reports what the parent checks.

// Raises the flag once the PC has written `bytes` data bytes of its first "D" block, as a
// Ctrl-C at that moment would.
class CancelInFirstBlock : public DevicesDecorator {
 public:
  CancelInFirstBlock(SerialDevices& inner, uint32_t bytes) : DevicesDecorator(inner), bytes_(bytes) {}

 protected:
  std::unique_ptr<SerialLine> Decorate(const char*, int32_t, OpenResult,
                                       std::unique_ptr<SerialLine> line) override {
    return line ? std::make_unique<Line>(std::move(line), *this) : nullptr;
  }

 private:
  struct Line : LineDecorator {
    Line(std::unique_ptr<SerialLine> line, CancelInFirstBlock& owner)
        : LineDecorator(std::move(line)), devices(owner) {}
    void Write(const uint8_t* data, size_t count) override {
      LineDecorator::Write(data, count);
      if (devices.inBlock_ && (devices.written_ += count) >= devices.bytes_) RequestCancel();
      if (count == 1 && data[0] == 'D') devices.inBlock_ = true;
    }
    CancelInFirstBlock& devices;
  };
  uint32_t bytes_;
  bool inBlock_ = false;
  size_t written_ = 0;
};

// Every key read is a Ctrl-C.
class CtrlCConsole : public ScriptedConsole {
 public:
  int ReadKey() override {
    ScriptedConsole::ReadKey();
    RequestCancel();
    return kEndOfInput;
  }
};

struct CutShortRun {
  int status = -1;
  std::string output;    // the console's text
  std::string written;   // what the PC wrote from the first "D" on
  std::string commands;  // the unit's commands, one a line
  bool flashed = false;
};

CutShortRun RunCutShort(ReleaseCode unitRelease, bool cancelInBlock) {
  int out[2];
  if (pipe(out) != 0) return {};
  pid_t child = testing::ForkChild([&] {
    close(out[0]);
    auto s = std::make_unique<SimSession>();
    if (unitRelease != 0) {
      PutProUnitOn(*s, unitRelease);
    } else {
      s->unit.SetCodeRegionChecksum(0x123456);
    }
    CancelInFirstBlock devices(s->devices, cancelInBlock ? 3 : UINT32_MAX);
    CtrlCConsole console;
    UpdateState state(devices, s->clock, console, s->payload);
    const char* argv[] = {"quorel-update"};
    const int status = RunUpdate(state, 1, argv);
    s->devices.Settle();
    std::string commands;
    for (const std::string& c : s->unit.Commands()) commands += c + "\n";
    const std::string& all = s->devices.written();
    const size_t d = all.find("A000000D");
    std::string report = std::to_string(status) + (s->unit.flashed() ? "F" : "-") + "\x1f" +
                         console.output() + "\x1f" +
                         (d == std::string::npos ? "" : all.substr(d + 8)) + "\x1f" + commands;
    return testing::WriteText(out[1], report) ? 0 : 90;
  });
  close(out[1]);
  std::string report = testing::ReadFor(out[0], 20000);
  close(out[0]);
  CutShortRun run;
  if (testing::WaitChild(child, 20000) != 0) return run;
  size_t a = report.find('\x1f');
  size_t b = report.find('\x1f', a + 1);
  size_t c = report.find('\x1f', b + 1);
  if (c == std::string::npos) return run;
  run.status = std::stoi(report.substr(0, a - 1));
  run.flashed = report[a - 1] == 'F';
  run.output = report.substr(a + 1, b - a - 1);
  run.written = report.substr(b + 1, c - b - 1);
  run.commands = report.substr(c + 1);
  return run;
}

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

TEST(UpdateRoad, ARunCutShortEndsAtOnceAndLetsGoOfTheUnit) {
  const std::string kNotFlashed = "\nInterrupted. The unit was not flashed. Update exiting\n";

  // Three bytes into the first block of the download: the block is completed with filler, then
  // X; nothing is printed after the download's heading but why the run ended.
  CutShortRun block = RunCutShort(0x101203, true);
  EXPECT_EQ(block.status, 130);
  EXPECT_TRUE(EndsWith(block.output, "\nSending SW update.." + kNotFlashed)) << block.output;
  EXPECT_EQ(block.written, std::string(reinterpret_cast<const char*>(CompiledPayload().SwImage), 3) +
                               std::string(1021, '\0') + "X");
  EXPECT_TRUE(EndsWith(block.commands, "\nX\n")) << block.commands;
  EXPECT_FALSE(block.flashed);

  // At the question about an unknown unit: X, and the question is not taken as declined.
  CutShortRun question = RunCutShort(0, false);
  EXPECT_EQ(question.status, 130);
  EXPECT_TRUE(EndsWith(question.output, "(y/n)" + kNotFlashed)) << question.output;
  EXPECT_TRUE(EndsWith(question.commands, "\nC\nX\n")) << question.commands;

  // At the last key of a completed update: no X after the flash command.
  CutShortRun flashed = RunCutShort(0x111103, false);
  EXPECT_EQ(flashed.status, 130);
  EXPECT_TRUE(EndsWith(flashed.output,
                       kFlashText + kPrompt + "\nInterrupted after the flash command was sent.\n"))
      << flashed.output;
  EXPECT_TRUE(EndsWith(flashed.commands, "\nF5382\n")) << flashed.commands;
  EXPECT_TRUE(flashed.flashed);
}

}  // namespace
}  // namespace quorel
