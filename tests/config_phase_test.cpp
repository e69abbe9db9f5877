// Configuration preservation in whole updates through the real driver against the simulated
// unit, on the virtual clock: which units get their configuration read, converted and written
// back, the wire traffic of the readout, the format check and the write-back, the line speed
// around them, repeated blocks, and what the unit's memory holds when the run is over.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

#include "config/records.h"
#include "sim/sim_session.h"
#include "sim/unit_layout.h"
#include "support/console_texts.h"
#include "support/hand_records.h"
#include "support/sim_helpers.h"

namespace quorel {
namespace {

// The unit's memory map and record layouts, as the simulated unit describes them.
namespace layout = sim::layout;
using layout::kConfigBase;
using layout::kConfigEnd;
using layout::kConfigBytes;
using layout::kRecordV1;
using layout::kRecordV2;
using layout::kRecordV3;
using layout::kMovedRecordMark;

// The console's last words: the run's ending message and the key prompt.
void ExpectEndsWith(const std::string& out, const std::string& tail) {
  ASSERT_GE(out.size(), tail.size());
  EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
}

using testing::HideCopyPaths;
using testing::kCopyKept;
using testing::kPrompt;

using sim::ChecksumFault;
using sim::ChecksumFaultKind;
using sim::SimSession;
using sim::SimulatedUnit;
using testing::ChecksumOfRelease;
using testing::CountOf;
using testing::Dots;
using testing::IndexOf;
using testing::MemoryEquals;
using testing::RangeEquals;
using testing::SpeedOf;

using Commands = std::vector<std::string>;
using Bytes = std::vector<uint8_t>;

const std::string kProceeding = "Update proceeding..\n\n";
const std::string kSwUpdate = "\nSending SW update..";
const std::string kDownloadMessage = "JDOWNLOADING UPDATE\n";
// A code-region checksum that no row of the release table holds.
constexpr uint32_t kUnknownChecksum = 0x123456;
// Bytes read for a conversion: six records of the middle layout.
using layout::kReadoutBytes;

std::string Hex6(char letter, uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%c%06X", letter, value);
  return text;
}

void PutProUnitOn(SimSession& s, ReleaseCode code) {
  s.unit.SetCodeRegionChecksum(ChecksumOfRelease(s.payload, kProModel, code));
}

// The configuration area 0x4000..0x7FFF as the unit holds it now.
Bytes ConfigArea(const SimulatedUnit& unit) {
  return Bytes(unit.memory().begin() + kConfigBase,
               unit.memory().begin() + kConfigEnd);
}

// What the records should become, worked out from the record layouts rather than by the
// updater's conversion (hand_records.h), from the region the unit holds now.
ConfigReadout ConvertedRegion(const SimSession& s, ConfigConversionKind kind) {
  const bool newest = s.payload.productKind == kProModel && s.payload.releaseCode == 0x020904;
  const std::vector<uint8_t> converted =
      testing::HandConvertedRegion(s.unit.memory().data() + kConfigBase, kind, newest);
  ConfigReadout buffer{};
  std::copy(converted.begin(), converted.end(), buffer.begin());
  return buffer;
}

// The commands of one checksummed read of count bytes from address, in 64-byte blocks.
Commands ReadCommands(uint32_t address, uint32_t count) {
  Commands c = {"L000040"};
  for (uint32_t offset = 0; offset < count; offset += 64) {
    if (offset + 64 > count) c.push_back(Hex6('L', count - offset));
    c.push_back(Hex6('A', address + offset));
    c.push_back("M");
    c.push_back("C");
  }
  return c;
}

// The confirmation of a read of 2512 bytes (the format check) and of 15072 (the readout) at
// 0x4000: the sum of every 1024 bytes, the last stretch shorter, then the length of the last
// block read once more.
const Commands kFormatCheckConfirmed = {"A004000", "L000400", "C", "A004400", "C",
                                        "A004800", "L0001D0", "C", "L000010"};
const Commands kReadoutConfirmed = {
    "A004000", "L000400", "C", "A004400", "C", "A004800", "C", "A004C00", "C", "A005000", "C",
    "A005400", "C",       "A005800", "C", "A005C00", "C", "A006000", "C", "A006400", "C",
    "A006800", "C",       "A006C00", "C", "A007000", "C", "A007400", "C", "A007800", "L0002E0",
    "C",       "L000020"};
// The readout's reads: six records of the middle layout from the start of the area.
const Commands kReadoutReads = ReadCommands(kConfigBase, kReadoutBytes);

// The commands of the write-back of six records of the given size to the given addresses.
Commands WriteCommands(uint32_t size, const std::vector<uint32_t>& addresses) {
  Commands c;
  for (uint32_t address : addresses) {
    c.push_back("L000100");
    for (uint32_t offset = 0; offset < size; offset += 256) {
      const uint32_t length = std::min(256u, size - offset);
      if (length < 256) c.push_back(Hex6('L', length));
      c.push_back(Hex6('A', address + offset));
      c.push_back("D[" + std::to_string(length) + "]");
      c.push_back("C");
    }
  }
  return c;
}

const std::vector<uint32_t> kNewestAddresses = {0x4000, 0x4AF8, 0x55F0, 0x60E8, 0x6BE0, 0x76D8};
const std::vector<uint32_t> kMiddleAddresses = {0x4000, 0x49D0, 0x53A0, 0x5D70, 0x6740, 0x7110};

Commands Concat(std::initializer_list<Commands> parts) {
  Commands all;
  for (const Commands& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// The commands from the end of the identification (its T) to the download's message, which is
// included; empty when the run never got to the download.
Commands ConfigTraffic(const Commands& c) {
  const size_t begin = IndexOf(c, "T") + 1;  // identification ends with T
  const size_t end = IndexOf(c, kDownloadMessage, begin);
  if (end >= c.size()) return {};
  return Commands(c.begin() + static_cast<std::ptrdiff_t>(begin),
                  c.begin() + static_cast<std::ptrdiff_t>(end) + 1);
}

const Commands kClosing = {"K", "E", "V0", "T", "V0"};
const Commands kDrop = {"B014400", "E"};
const Commands kReturn = {"B028800", "E", kDownloadMessage};

// A run that leaves the configuration area alone takes its sums in 1024-byte stretches right
// before the download's message (which is included).
Commands AreaCheck() {
  Commands c;
  for (uint32_t a = kConfigBase; a < kConfigEnd; a += 0x400) {
    c.push_back(Hex6('A', a));
    if (a == kConfigBase) c.push_back("L000400");
    c.push_back("C");
  }
  c.push_back(kDownloadMessage);
  return c;
}
const Commands kReturnToCheck = {"B028800", "E"};

// The unit's memory after a completed update with the newest layout written back to the
// standard places: the six records over 0x4000..0x7FFF, then the image from 0x8000 on, which
// overwrote the end of record 5.
void ExpectNewestRecordsInPlace(const SimSession& s, const ConfigReadout& expected) {
  EXPECT_TRUE(MemoryEquals(s.unit, kConfigBase, expected.data(), kConfigBytes));
  EXPECT_TRUE(
      RangeEquals(s.unit, layout::kMainSecond, s.payload.SwImage + layout::kMainSecond.start));
  EXPECT_TRUE(s.unit.flashed());
}

// ---- Identified units: the conversion follows the release ----

TEST(ConfigPhase, ProUnitOnTheOldestLayoutIsReadConvertedAndWrittenBack) {
  SimSession s;
  PutProUnitOn(s, 0x042303);
  s.unit.WriteConfigRecords(kRecordV1, 7, true);
  const ConfigReadout expected = ConvertedRegion(s, kFromV1);
  ASSERT_EQ(s.Run(), 1);

  EXPECT_NE(HideCopyPaths(s.console.output()).find("Unit confirmed as QuorelPro with firmware rev 042303.\n" +
                                    kProceeding + "Reading config data..\n" + Dots(14) +
                                    kCopyKept + Dots(6) + kSwUpdate),
            std::string::npos);

  // The whole configuration traffic, command by command.
  const Commands c = s.unit.Commands();
  const Commands traffic = ConfigTraffic(c);
  EXPECT_EQ(traffic, Concat({kDrop, kReadoutReads, kReadoutConfirmed, {"K"},
                             WriteCommands(kRecordV3, kNewestAddresses), kClosing, kReturn}));
  // The same in figures: L000040 once, 236 blocks A004000..A007AC0, L000020 before the last.
  EXPECT_EQ(CountOf(traffic, "L000040"), 1u);
  EXPECT_EQ(CountOf(traffic, "M"), 236u);
  const size_t last = IndexOf(traffic, "A007AC0");
  ASSERT_LT(last, traffic.size());
  EXPECT_EQ(traffic[last - 1], "L000020");
  EXPECT_EQ(traffic[last + 1], "M");
  EXPECT_EQ(traffic[last + 3], "A004000");
  EXPECT_EQ(traffic[last + 3 + kReadoutConfirmed.size()], "K");
  // Write-back: record 0 in ten full blocks and one of 248 bytes; record 1 from A004AF8.
  const size_t write = IndexOf(traffic, "L000100");
  ASSERT_LT(write + 36, traffic.size());
  EXPECT_EQ(traffic[write + 1], "A004000");
  EXPECT_EQ(traffic[write + 2], "D[256]");
  EXPECT_EQ(traffic[write + 28], "A004900");
  EXPECT_EQ(traffic[write + 31], "L0000F8");
  EXPECT_EQ(traffic[write + 32], "A004A00");
  EXPECT_EQ(traffic[write + 33], "D[248]");
  EXPECT_EQ(traffic[write + 35], "L000100");
  EXPECT_EQ(traffic[write + 36], "A004AF8");

  // The line drops to 14400 for the configuration work and comes back to 28800 afterwards.
  EXPECT_EQ(SpeedOf(s.unit, "B014400"), 28800u);
  EXPECT_EQ(SpeedOf(s.unit, "M", 0), 14400u);
  EXPECT_EQ(SpeedOf(s.unit, "M", 235), 14400u);
  EXPECT_EQ(SpeedOf(s.unit, "D[248]", 5), 14400u);
  EXPECT_EQ(SpeedOf(s.unit, "B028800", 1), 14400u);
  EXPECT_EQ(SpeedOf(s.unit, kDownloadMessage), 28800u);
  EXPECT_EQ(SpeedOf(s.unit, "F5382"), 28800u);

  // Record 5 went to 0x76D8 and reached past 0x8000, where the image then overwrote it.
  ExpectNewestRecordsInPlace(s, expected);
  EXPECT_EQ(s.unit.stats().dataBlocksAt.at(0x80D8), 1u);
  EXPECT_FALSE(MemoryEquals(s.unit, kConfigEnd, expected.data() + kConfigBytes, 0x1D0));
}

TEST(ConfigPhase, ProUnitOnTheMiddleLayoutGetsTheNewest) {
  SimSession s;
  PutProUnitOn(s, 0x091103);
  s.unit.WriteConfigRecords(kRecordV2, 11, true);
  const ConfigReadout expected = ConvertedRegion(s, kFromV2);
  ASSERT_EQ(s.Run(), 1);
  EXPECT_NE(HideCopyPaths(s.console.output()).find("firmware rev 091103.\n" + kProceeding +
                                    "Reading config data..\n" + Dots(14) + kCopyKept + Dots(6) + kSwUpdate),
            std::string::npos);
  EXPECT_EQ(ConfigTraffic(s.unit.Commands()),
            Concat({kDrop, kReadoutReads, kReadoutConfirmed, {"K"},
                    WriteCommands(kRecordV3, kNewestAddresses), kClosing, kReturn}));
  ExpectNewestRecordsInPlace(s, expected);
  // The added block of each record is a copy of the middle layout's bytes 76 to 371.
  const uint8_t* unitRecord2 = s.unit.memory().data() + 0x55F0;
  EXPECT_TRUE(std::equal(unitRecord2 + 76, unitRecord2 + 372, unitRecord2 + 2444));
}

TEST(ConfigPhase, RecordFiveMarkedWithAColonTakesTheFourthRecordsPlace) {
  SimSession s;
  PutProUnitOn(s, 0x042303);
  s.unit.WriteConfigRecords(kRecordV1, 5, true);
  // The first byte, outside the checksum.
  s.unit.memory()[kConfigBase + 5 * kRecordV1] = kMovedRecordMark;
  const Bytes before = ConfigArea(s.unit);
  const ConfigReadout expected = ConvertedRegion(s, kFromV1);
  ASSERT_EQ(expected[5 * kRecordV3], 0x3A);
  ASSERT_EQ(s.Run(), 1);

  std::vector<uint32_t> addresses = kNewestAddresses;
  addresses[5] = 0x6BE0;
  const Commands traffic = ConfigTraffic(s.unit.Commands());
  // The area from 0x76D8 on, which no record now covers, has its sums taken before the
  // write-back (and compared before the flash).
  EXPECT_EQ(traffic, Concat({kDrop, kReadoutReads, kReadoutConfirmed, {"K"},
                             {"A0076D8", "L000400", "C", "A007AD8", "C", "A007ED8", "L000128", "C"},
                             WriteCommands(kRecordV3, addresses), kClosing, kReturn}));
  // Nothing was written from 0x76D8 on by the write-back.
  for (size_t i = IndexOf(traffic, "L000100"); i < traffic.size(); ++i) {
    const std::string& command = traffic[i];
    if (command[0] == 'A') {
      EXPECT_LT(std::stoul(command.substr(1), nullptr, 16), 0x76D8u) << command;
    }
  }
  // Records 0 to 3 in place, record 5 over record 4, and the old bytes from 0x76D8 on.
  EXPECT_TRUE(MemoryEquals(s.unit, kConfigBase, expected.data(), 4 * kRecordV3));
  EXPECT_TRUE(MemoryEquals(s.unit, 0x6BE0, expected.data() + 5 * kRecordV3, kRecordV3));
  EXPECT_TRUE(MemoryEquals(s.unit, 0x76D8, before.data() + (0x76D8 - kConfigBase),
                           kConfigEnd - 0x76D8));
  EXPECT_EQ(s.unit.stats().dataBlocksAt.at(0x6BE0), 2u);
  EXPECT_TRUE(s.unit.flashed());
}

TEST(ConfigPhase, CurrentUnitNeedsNoConfigurationWork) {
  SimSession s;
  PutProUnitOn(s, 0x110503);
  s.unit.WriteConfigRecords(kRecordV2, 9, true);
  const Bytes before = ConfigArea(s.unit);
  ASSERT_EQ(s.Run(), 1);
  EXPECT_NE(HideCopyPaths(s.console.output()).find("firmware rev 110503.\n" + kProceeding + kSwUpdate),
            std::string::npos);
  // No speed change, no read, no write: only the closing sequence with its one K.
  const Commands c = s.unit.Commands();
  EXPECT_EQ(ConfigTraffic(c), Concat({kClosing, AreaCheck()}));
  EXPECT_EQ(CountOf(c, "B014400"), 0u);
  EXPECT_EQ(CountOf(Commands(c.begin(), c.begin() + static_cast<std::ptrdiff_t>(
                                                       IndexOf(c, kDownloadMessage))),
                    "K"),
            1u);
  EXPECT_EQ(ConfigArea(s.unit), before);
  EXPECT_TRUE(s.unit.flashed());
}

// ---- Unidentified units: the format check decides ----

// Runs an update of a unit that no release-table row identifies, answering y.
int RunUnidentified(SimSession& s, std::vector<std::string> args = {}) {
  s.unit.SetCodeRegionChecksum(kUnknownChecksum);
  return s.Run(std::move(args), "y");
}

const Commands kFormatCheck = Concat({ReadCommands(kConfigBase, kRecordV2), kFormatCheckConfirmed});

TEST(ConfigFormatCheck, OldestLayoutIsRecognisedAndConverted) {
  SimSession s;
  s.unit.WriteConfigRecords(kRecordV1, 21, true);
  ASSERT_TRUE(RecordPassesChecksum(s.unit.memory().data() + kConfigBase, kRecordV1));
  ASSERT_FALSE(RecordPassesChecksum(s.unit.memory().data() + kConfigBase, kRecordV2));
  const ConfigReadout expected = ConvertedRegion(s, kFromV1);
  ASSERT_EQ(RunUnidentified(s), 1);
  EXPECT_NE(HideCopyPaths(s.console.output()).find(kProceeding + "Checking config data..\nConfig is pre 042803\n"
                                                  "Reading config data..\n" +
                                    Dots(14) + kCopyKept + Dots(6) + kSwUpdate),
            std::string::npos);
  EXPECT_EQ(ConfigTraffic(s.unit.Commands()),
            Concat({kDrop, kFormatCheck, kReadoutReads, kReadoutConfirmed, {"K"},
                    WriteCommands(kRecordV3, kNewestAddresses), kClosing, kReturn}));
  ExpectNewestRecordsInPlace(s, expected);
}

TEST(ConfigFormatCheck, MiddleLayoutIsRecognisedForAProPayload) {
  SimSession s;
  s.unit.WriteConfigRecords(kRecordV2, 22, true);
  ASSERT_FALSE(RecordPassesChecksum(s.unit.memory().data() + kConfigBase, kRecordV1));
  const ConfigReadout expected = ConvertedRegion(s, kFromV2);
  ASSERT_EQ(RunUnidentified(s), 1);
  EXPECT_NE(HideCopyPaths(s.console.output()).find(kProceeding +
                                    "Checking config data..\nConfig is pre 101203 for Pro\n"
                                    "Reading config data..\n" +
                                    Dots(14) + kCopyKept + Dots(6) + kSwUpdate),
            std::string::npos);
  ExpectNewestRecordsInPlace(s, expected);
}

TEST(ConfigFormatCheck, RecordPassingBothTestsIsTakenAsTheMiddleLayout) {
  SimSession s;
  s.unit.WriteConfigRecords(kRecordV2, 23, true);
  uint8_t* first = s.unit.memory().data() + kConfigBase;
  StoreRecordChecksum(first, kRecordV1);  // inside the middle layout's sum, so first
  StoreRecordChecksum(first, kRecordV2);
  ASSERT_TRUE(RecordPassesChecksum(first, kRecordV1));
  ASSERT_TRUE(RecordPassesChecksum(first, kRecordV2));
  const ConfigReadout expected = ConvertedRegion(s, kFromV2);
  ASSERT_EQ(RunUnidentified(s), 1);
  EXPECT_NE(HideCopyPaths(s.console.output()).find(kProceeding +
                                    "Checking config data..\nConfig is pre 042803\n"
                                    "Config is pre 101203 for Pro\nReading config data..\n" +
                                    Dots(14) + kCopyKept + Dots(6) + kSwUpdate),
            std::string::npos);
  ExpectNewestRecordsInPlace(s, expected);
}

TEST(ConfigFormatCheck, UnrecognisedConfigurationIsLeftAlone) {
  struct Setup {
    const char* name;
    void (*prepare)(SimulatedUnit&);
  };
  const Setup setups[] = {
      {"wiped", [](SimulatedUnit& u) { u.FillConfigRegion(0x00); }},
      {"erased", [](SimulatedUnit& u) { u.FillConfigRegion(0xFF); }},
      {"bad checksums", [](SimulatedUnit& u) { u.WriteConfigRecords(kRecordV2, 24, false); }},
  };
  for (const Setup& setup : setups) {
    SimSession s;
    setup.prepare(s.unit);
    ASSERT_FALSE(RecordPassesChecksum(s.unit.memory().data() + kConfigBase, kRecordV1));
    ASSERT_FALSE(RecordPassesChecksum(s.unit.memory().data() + kConfigBase, kRecordV2));
    const Bytes before = ConfigArea(s.unit);
    ASSERT_EQ(RunUnidentified(s), 1) << setup.name;
    EXPECT_NE(HideCopyPaths(s.console.output()).find(kProceeding + "Checking config data..\n" + kSwUpdate),
              std::string::npos)
        << setup.name;
    // The line still drops for the check; 40 blocks, the last of 16 bytes at A0049C0.
    const Commands traffic = ConfigTraffic(s.unit.Commands());
    EXPECT_EQ(traffic, Concat({kDrop, kFormatCheck, kClosing, kReturnToCheck, AreaCheck()}))
        << setup.name;
    EXPECT_EQ(CountOf(traffic, "M"), 40u);
    const size_t last = IndexOf(traffic, "A0049C0");
    ASSERT_LT(last, traffic.size());
    EXPECT_EQ(traffic[last - 1], "L000010");
    EXPECT_EQ(CountOf(traffic, "K"), 1u);
    EXPECT_EQ(ConfigArea(s.unit), before) << setup.name;
    EXPECT_TRUE(s.unit.flashed());
  }
}

TEST(ConfigFormatCheck, BasePayloadIgnoresTheMiddleLayout) {
  SimSession s;
  s.payload.productKind = kBaseModel;
  s.unit.WriteConfigRecords(kRecordV2, 25, true);
  const Bytes before = ConfigArea(s.unit);
  ASSERT_EQ(RunUnidentified(s), 1);
  EXPECT_NE(HideCopyPaths(s.console.output()).find(kProceeding + "Checking config data..\n" + kSwUpdate),
            std::string::npos);
  EXPECT_EQ(ConfigTraffic(s.unit.Commands()),
            Concat({kDrop, kFormatCheck, kClosing, kReturnToCheck, AreaCheck()}));
  EXPECT_EQ(ConfigArea(s.unit), before);
}

TEST(ConfigFormatCheck, BasePayloadTakesTheOldestLayoutToTheMiddleOne) {
  SimSession s;
  s.payload.productKind = kBaseModel;
  s.unit.WriteConfigRecords(kRecordV1, 26, true);
  const Bytes before = ConfigArea(s.unit);
  const ConfigReadout expected = ConvertedRegion(s, kFromV1);
  ASSERT_EQ(RunUnidentified(s), 1);
  EXPECT_NE(HideCopyPaths(s.console.output()).find("Checking config data..\nConfig is pre 042803\n"
                                    "Reading config data..\n" +
                                    Dots(14) + kCopyKept + Dots(6) + kSwUpdate),
            std::string::npos);
  // Records of 2512 bytes: nine full blocks and one of 208; record 5 at 0x7110.
  const Commands traffic = ConfigTraffic(s.unit.Commands());
  EXPECT_EQ(traffic, Concat({kDrop, kFormatCheck, kReadoutReads, kReadoutConfirmed, {"K"},
                             {"A007AE0", "L000400", "C", "A007EE0", "L000120", "C"},
                             WriteCommands(kRecordV2, kMiddleAddresses), kClosing, kReturn}));
  EXPECT_EQ(CountOf(traffic, "L0000D0"), 6u);
  EXPECT_EQ(CountOf(traffic, "A0049D0"), 1u);
  EXPECT_EQ(CountOf(traffic, "A007110"), 1u);
  EXPECT_TRUE(MemoryEquals(s.unit, kConfigBase, expected.data(), kReadoutBytes));
  EXPECT_TRUE(MemoryEquals(s.unit, kConfigBase + kReadoutBytes, before.data() + kReadoutBytes,
                           kConfigBytes - kReadoutBytes));
  EXPECT_TRUE(s.unit.flashed());
}

TEST(ConfigFormatCheck, NoSpeedCommandWhenTheLineRunsAtFourteenFourHundred) {
  SimSession s;
  s.unit.WriteConfigRecords(kRecordV1, 27, true);
  const ConfigReadout expected = ConvertedRegion(s, kFromV1);
  ASSERT_EQ(RunUnidentified(s, {"-s1"}), 1);
  const Commands c = s.unit.Commands();
  size_t speedCommands = 0;
  for (const std::string& command : c) speedCommands += command[0] == 'B' ? 1 : 0;
  EXPECT_EQ(speedCommands, 1u);  // only the first switch, sent at 9600
  EXPECT_EQ(SpeedOf(s.unit, "B014400"), 9600u);
  EXPECT_EQ(ConfigTraffic(c),
            Concat({kFormatCheck, kReadoutReads, kReadoutConfirmed, {"K"},
                    WriteCommands(kRecordV3, kNewestAddresses), kClosing,
                    {kDownloadMessage}}));
  EXPECT_EQ(SpeedOf(s.unit, "M"), 14400u);
  ExpectNewestRecordsInPlace(s, expected);
}

// ---- The speed changes around the configuration work ----

TEST(ConfigSpeed, NoAnswerAtFourteenFourHundredEndsTheRun) {
  SimSession s;
  PutProUnitOn(s, 0x042303);
  s.unit.WriteConfigRecords(kRecordV1, 31, true);
  s.unit.faults().silentSpeeds = {14400};
  const Bytes before = ConfigArea(s.unit);
  EXPECT_EQ(s.Run(), 0);
  const std::string out = HideCopyPaths(s.console.output());
  const std::string tail = kProceeding + "Connection failed at check config\n" + kPrompt;
  ExpectEndsWith(out, tail);
  const Commands c = s.unit.Commands();
  EXPECT_EQ(CountOf(c, "M"), 0u);
  EXPECT_EQ(CountOf(c, kDownloadMessage), 0u);
  ASSERT_GE(c.size(), 4u);
  EXPECT_EQ(Commands(c.end() - 4, c.end()), (Commands{"T", "B014400", "E", "X"}));
  EXPECT_EQ(SpeedOf(s.unit, "X"), 14400u);
  EXPECT_FALSE(s.devices.lineOpen());
  EXPECT_EQ(ConfigArea(s.unit), before);
  EXPECT_FALSE(s.unit.flashed());
}

TEST(ConfigSpeed, NoAnswerBackAtTheNegotiatedSpeedEndsTheRun) {
  SimSession s;
  PutProUnitOn(s, 0x042303);
  s.unit.WriteConfigRecords(kRecordV1, 32, true);
  const ConfigReadout expected = ConvertedRegion(s, kFromV1);
  // 28800 answers at first contact and falls silent after the drop to 14400.
  s.unit.faults().silentSpeeds = {28800};
  s.unit.faults().silentSpeedsAfterSpeedCommands = 2;
  EXPECT_EQ(s.Run(), 0);
  const std::string out = HideCopyPaths(s.console.output());
  const std::string tail = "Reading config data..\n" + Dots(14) + kCopyKept + Dots(6) +
                           "Connection failed after check config\n" + kPrompt;
  ExpectEndsWith(out, tail);
  const Commands c = s.unit.Commands();
  ASSERT_GE(c.size(), 8u);
  EXPECT_EQ(Commands(c.end() - 8, c.end()),
            (Commands{"K", "E", "V0", "T", "V0", "B028800", "E", "X"}));
  EXPECT_EQ(SpeedOf(s.unit, "X"), 28800u);
  EXPECT_FALSE(s.devices.lineOpen());
  EXPECT_FALSE(s.unit.flashed());
  // The records had been written back before the line failed.
  EXPECT_TRUE(MemoryEquals(s.unit, kConfigBase, expected.data(), kConfigBytes));
}

// ---- Repeated blocks ----

TEST(ConfigBlocks, RepeatMarksFollowTheLastParsedReply) {
  SimSession s;
  PutProUnitOn(s, 0x042303);
  s.unit.WriteConfigRecords(kRecordV1, 41, true);
  // A block of zeros, whose sum of 0 must not be taken from a missing reply.
  std::fill(s.unit.memory().begin() + 0x4780, s.unit.memory().begin() + 0x47C0, 0);
  const ConfigReadout expected = ConvertedRegion(s, kFromV1);
  auto& faults = s.unit.faults().checksumFaults;
  faults[{0x4040, 0}] = ChecksumFault{ChecksumFaultKind::kWrong, 0};    // read: "+"
  faults[{0x4080, 0}] = ChecksumFault{ChecksumFaultKind::kMissing, 0};  // read: no mark
  faults[{0x4780, 0}] = ChecksumFault{ChecksumFaultKind::kMissing, 0};  // zero block, read again
  faults[{0x4BF8, 0}] = ChecksumFault{ChecksumFaultKind::kWrong, 0};    // write: "Re43"
  faults[{0x4CF8, 0}] = ChecksumFault{ChecksumFaultKind::kMissing, 0};  // write: no mark
  // The short last blocks of the readout and of record 1.
  faults[{0x7AC0, 0}] = ChecksumFault{ChecksumFaultKind::kMissing, 0};
  faults[{0x54F8, 0}] = ChecksumFault{ChecksumFaultKind::kMissing, 0};
  ASSERT_EQ(s.Run(), 1);
  // "+" while reading the first 16 blocks, "Re43" while writing record 1.
  EXPECT_NE(HideCopyPaths(s.console.output()).find(kProceeding + "Reading config data..\n+" + Dots(14) + kCopyKept + "." +
                                    "Re43" + Dots(5) + kSwUpdate),
            std::string::npos);
  const Commands traffic = ConfigTraffic(s.unit.Commands());
  EXPECT_EQ(CountOf(traffic, "A004040"), 2u);
  EXPECT_EQ(CountOf(traffic, "A004080"), 2u);
  EXPECT_EQ(CountOf(traffic, "A004780"), 2u);
  EXPECT_EQ(CountOf(traffic, "A007AC0"), 2u);
  EXPECT_EQ(CountOf(traffic, "M"), 236u + 4u);
  EXPECT_EQ(s.unit.stats().dataBlocksAt.at(0x4BF8), 2u);
  EXPECT_EQ(s.unit.stats().dataBlocksAt.at(0x4CF8), 2u);
  EXPECT_EQ(s.unit.stats().dataBlocksAt.at(0x54F8), 2u);
  EXPECT_EQ(CountOf(traffic, "D[256]") + CountOf(traffic, "D[248]"), 66u + 3u);
  // A repeat sets the block's length again, then goes from the address command on.
  const size_t repeat = IndexOf(traffic, "A004040", IndexOf(traffic, "A004040") + 1);
  ASSERT_LT(repeat, traffic.size());
  EXPECT_EQ(traffic[repeat - 2], "C");
  EXPECT_EQ(traffic[repeat - 1], "L000040");
  const size_t rewrite = IndexOf(traffic, "A004BF8", IndexOf(traffic, "A004BF8") + 1);
  ASSERT_LT(rewrite, traffic.size());
  EXPECT_EQ(traffic[rewrite - 2], "C");
  EXPECT_EQ(traffic[rewrite - 1], "L000100");
  // A short block is repeated with its own length.
  const size_t lastRead = IndexOf(traffic, "A007AC0", IndexOf(traffic, "A007AC0") + 1);
  ASSERT_LT(lastRead, traffic.size());
  EXPECT_EQ(traffic[lastRead - 1], "L000020");
  const size_t lastWrite = IndexOf(traffic, "A0054F8", IndexOf(traffic, "A0054F8") + 1);
  ASSERT_LT(lastWrite, traffic.size());
  EXPECT_EQ(traffic[lastWrite - 1], "L0000F8");
  EXPECT_EQ(traffic[lastWrite + 1], "D[248]");
  ExpectNewestRecordsInPlace(s, expected);
}

TEST(ConfigBlocks, StrayByteBeforeAReplyCostsOneRepeat) {
  SimSession s;
  PutProUnitOn(s, 0x042303);
  s.unit.WriteConfigRecords(kRecordV1, 42, true);
  const ConfigReadout expected = ConvertedRegion(s, kFromV1);
  s.unit.faults().strayBeforeChecksum[{0x4040, 0}] = "#";
  s.unit.faults().strayBeforeChecksum[{0x4BF8, 0}] = "#";
  ASSERT_EQ(s.Run(), 1);
  // The reply did not parse: a repeat without a mark.
  EXPECT_NE(HideCopyPaths(s.console.output()).find("Reading config data..\n" + Dots(14) + kCopyKept + Dots(6) + kSwUpdate),
            std::string::npos);
  const Commands traffic = ConfigTraffic(s.unit.Commands());
  // Every other block went once: the line was back in step after the repeat.
  Commands read = Concat({kReadoutReads, kReadoutConfirmed});
  read.insert(read.begin() + 7, {"L000040", "A004040", "M", "C"});
  Commands written = WriteCommands(kRecordV3, kNewestAddresses);
  const size_t at = IndexOf(written, "A004BF8");
  written.insert(written.begin() + static_cast<std::ptrdiff_t>(at),
                 {"A004BF8", "D[256]", "C", "L000100"});
  EXPECT_EQ(traffic, Concat({kDrop, read, {"K"}, written, kClosing, kReturn}));
  ExpectNewestRecordsInPlace(s, expected);
}

TEST(ConfigBlocks, BlockReadFromAnotherAddressIsReadAgainOrTheRunEndsUnflashed) {
  {  // A004440 taken once as 0x4480: the stretch at 0x4400 differs and is read again.
    SimSession s;
    PutProUnitOn(s, 0x042303);
    s.unit.WriteConfigRecords(kRecordV1, 45, true);
    const ConfigReadout expected = ConvertedRegion(s, kFromV1);
    s.unit.faults().addressFaults[0x4440] = {0x4480, 1};
    ASSERT_EQ(s.Run(), 1);
    EXPECT_EQ(s.unit.stats().addressesMistaken, 1u);
    EXPECT_NE(HideCopyPaths(s.console.output()).find("Reading config data..\n" + Dots(14) + "+" + kCopyKept + Dots(6) +
                                      kSwUpdate),
              std::string::npos);
    const Commands traffic = ConfigTraffic(s.unit.Commands());
    EXPECT_EQ(CountOf(traffic, "M"), 236u + 16u);
    // Read, confirmed, read again, confirmed again, then written back.
    EXPECT_EQ(CountOf(traffic, "A004400"), 5u);
    ExpectNewestRecordsInPlace(s, expected);
  }
  {  // Every A004440 taken as 0x4480, in the format check of an unidentified unit: no flash.
    SimSession s;
    s.unit.WriteConfigRecords(kRecordV1, 46, true);
    const Bytes before = ConfigArea(s.unit);
    s.unit.faults().addressFaults[0x4440] = {0x4480, -1};
    EXPECT_EQ(RunUnidentified(s), 0);
    const std::string out = HideCopyPaths(s.console.output());
    const std::string tail = "Checking config data..\n++\nThe unit's configuration could not be "
                             "read back reliably (at 004400).\nThe unit was not flashed. Update "
                             "exiting\n" +
                             kPrompt;
    ExpectEndsWith(out, tail);
    const Commands c = s.unit.Commands();
    EXPECT_EQ(c.back(), "X");
    EXPECT_EQ(CountOf(c, "M"), 40u + 2u * 16u);
    EXPECT_EQ(CountOf(c, "F5382"), 0u);
    EXPECT_EQ(s.unit.stats().dataBlocks, 0u);
    EXPECT_EQ(ConfigArea(s.unit), before);
    EXPECT_FALSE(s.unit.flashed());
  }
}

TEST(ConfigBlocks, UnitFallingSilentDuringTheReadoutEndsTheRun) {
  SimSession s;
  PutProUnitOn(s, 0x042303);
  s.unit.WriteConfigRecords(kRecordV1, 43, true);
  const Bytes before = ConfigArea(s.unit);
  s.unit.faults().silentAfterChecksums = 1 + 20;  // identification, then 20 blocks
  EXPECT_EQ(s.Run(), 0);
  const std::string out = HideCopyPaths(s.console.output());
  const std::string tail = "Reading config data..\n.\nNo verified reply from the unit for the "
                           "configuration read block at 004500 after 10 attempts.\n"
                           "The unit was not flashed. Update exiting\n" +
                           kPrompt;
  ExpectEndsWith(out, tail);
  const Commands c = s.unit.Commands();
  EXPECT_EQ(c.back(), "X");
  EXPECT_EQ(CountOf(c, "A004500"), 10u);
  EXPECT_EQ(CountOf(c, "F5382"), 0u);
  EXPECT_EQ(s.unit.stats().dataBlocks, 0u);
  EXPECT_FALSE(s.devices.lineOpen());
  EXPECT_EQ(ConfigArea(s.unit), before);
}

TEST(ConfigBlocks, UnitFallingSilentDuringTheWriteBackEndsTheRun) {
  SimSession s;
  PutProUnitOn(s, 0x042303);
  s.unit.WriteConfigRecords(kRecordV1, 44, true);
  s.unit.faults().silentAfterBlocks = 13;  // record 0's eleven blocks, then record 1's first two
  EXPECT_EQ(s.Run(), 0);
  const std::string out = HideCopyPaths(s.console.output());
  const std::string tail = "Reading config data..\n" + Dots(14) + kCopyKept +
                           ".\nNo verified reply from the unit for the configuration write block "
                           "at 004BF8 after 10 attempts.\nThe unit was not flashed. Update "
                           "exiting\n" +
                           testing::kRestoreFromThisRun + kPrompt;
  ExpectEndsWith(out, tail);
  const Commands c = s.unit.Commands();
  EXPECT_EQ(c.back(), "X");
  EXPECT_EQ(CountOf(c, "F5382"), 0u);
  EXPECT_EQ(CountOf(c, kDownloadMessage), 0u);
  EXPECT_EQ(s.unit.stats().dataBlocksAt.at(0x4BF8), 10u);
  EXPECT_FALSE(s.devices.lineOpen());
  EXPECT_FALSE(s.unit.flashed());
}

}  // namespace
}  // namespace quorel
