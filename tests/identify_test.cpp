// --identify and --save-config against the simulated unit on the virtual clock: what the run
// prints, that it writes nothing to the unit and lets go of it with X, its status, and the copy
// of the configuration with its description.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "sim/sim_session.h"
#include "sim/unit_layout.h"
#include "support/console_texts.h"
#include "support/sim_helpers.h"

namespace quorel {
namespace {

// The unit's memory map and record layouts, as the simulated unit describes them.
namespace layout = sim::layout;
using layout::kConfigBase;
using layout::kRecordV1;
using layout::kRecordV2;
using layout::kRecordV3;
using layout::kReadoutBytes;

using sim::SimSession;
using testing::CountOf;
using testing::Dots;
using testing::IndexOf;
using testing::kBanner;
using testing::kPrompt;

// The commands the unit took after the identification's checksum query.
std::vector<std::string> AfterIdentification(const SimSession& s) {
  const std::vector<std::string> c = s.unit.Commands();
  const size_t at = IndexOf(c, "L00e000");
  return at + 2 <= c.size() ? std::vector<std::string>(c.begin() + at + 2, c.end())
                            : std::vector<std::string>{};
}

// Nothing a run of --identify sends may change the unit: no data, no flash, no messages, none
// of the update's closing commands; and X comes last.
void ExpectNothingWritten(const SimSession& s) {
  const std::vector<std::string> c = s.unit.Commands();
  for (const std::string& command : c) {
    EXPECT_TRUE(command.rfind("D", 0) != 0 && command.rfind("J", 0) != 0 &&
                command.rfind("F", 0) != 0 && command != "T" && command != "K" &&
                command != "V0")
        << command;
  }
  ASSERT_FALSE(c.empty());
  EXPECT_EQ(c.back(), "X");
  EXPECT_EQ(CountOf(c, "X"), 1u);
  EXPECT_FALSE(s.unit.flashed());
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// A directory of its own for a test's files, removed with them.
struct TempDir {
  std::string path;
  TempDir() {
    char name[] = "/tmp/quorel-identify-XXXXXX";
    const char* made = mkdtemp(name);
    EXPECT_NE(made, nullptr);
    path = made != nullptr ? made : "/nonexistent-quorel-identify";
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
};

TEST(Identify, KnownUnitThatNeedsAConversion) {
  // A Pro unit on 091103 with records of the middle layout, at 28800.
  SimSession s;
  s.unit.SetCodeRegionChecksum(0x4C20E2);
  s.unit.WriteConfigRecords(kRecordV2, 7, true);
  const std::vector<uint8_t> before = s.unit.memory();
  EXPECT_EQ(s.Run({"--identify"}), 1);
  // The durations are those quorel-bench prints for this unit at 28800: 217.637 s at the
  // protocol's pace and 176.551 s with --fast.
  EXPECT_EQ(s.console.output(),
            kBanner + "Connected\n\nChecking version..\n"
                      "Unit: QuorelPro, firmware release 091103 (release table row 95, "
                      "code-region checksum 4c20e2)\n"
                      "Reading config data..\n" + Dots(14) +
                      "\nSettings found: six records of the middle layout (2512-byte records)\n"
                      "An update by this build (QuorelPro 020904) would:\n"
                      "  configuration: converted from the middle layout (2512-byte records) to "
                      "the newest layout (2808-byte records)\n"
                      "  second image: sent\n"
                      "  blocks written: 357\n"
                      "  duration: about 217.6 s at 28800 bit/s, 176.6 s with --fast\n"
                      "Nothing was written to the unit.\n" +
                kPrompt);
  ExpectNothingWritten(s);
  // The records are read to name what they hold, at 14400; then X.
  const std::vector<std::string> after = AfterIdentification(s);
  ASSERT_GE(after.size(), 3u);
  EXPECT_EQ(after[0], "B014400");
  EXPECT_EQ(CountOf(after, "M"), 236u);
  EXPECT_EQ(after.back(), "X");
  EXPECT_EQ(s.unit.memory(), before);
  EXPECT_EQ(s.console.keysRead(), 1);
}

TEST(Identify, OtherModelIsReportedAsRefused) {
  SimSession s;
  s.unit.SetCodeRegionChecksum(0x4C3260);  // row 81, a base unit on 083003
  EXPECT_EQ(s.Run({"--identify", "--fast", "-s1"}), 1);
  EXPECT_EQ(s.console.output(),
            kBanner + "Connected\n\nChecking version..\n"
                      "Unit: Quorel, firmware release 083003 (release table row 81, "
                      "code-region checksum 4c3260)\n"
                      "An update by this build would refuse it: this firmware is for a "
                      "QuorelPro\n" +
                kPrompt);
  ExpectNothingWritten(s);
  EXPECT_EQ(AfterIdentification(s), std::vector<std::string>{"X"});
  EXPECT_EQ(testing::SpeedOf(s.unit, "X"), 14400u);
}

TEST(Identify, UnknownUnitGetsTheFormatCheck) {
  // At 28800 the line drops to 14400 for the check of the first record, as in an update, and
  // the run lets go of the unit there.
  SimSession s;
  s.unit.SetCodeRegionChecksum(0x123456);
  s.unit.WriteConfigRecords(kRecordV1, 3, true);
  const std::vector<uint8_t> before = s.unit.memory();
  EXPECT_EQ(s.Run({"--identify"}), 1);
  EXPECT_EQ(s.console.output(),
            kBanner + "Connected\n\nChecking version..\n"
                      "Unit: not identified (code-region checksum 123456 is in no row of the "
                      "release table)\n"
                      "Checking config data..\nConfig is pre 042803\n"
                      "Reading config data..\n" + Dots(14) +
                      "\nSettings found: six records of the oldest layout (2480-byte records)\n"
                      "An update by this build (QuorelPro 020904) would ask (y/n) first; "
                      "answered y, it would:\n"
                      "  configuration: converted from the oldest layout (2480-byte records) to "
                      "the newest layout (2808-byte records)\n"
                      "  second image: sent\n"
                      "  blocks written: 357\n"
                      "  duration: about 228.4 s at 28800 bit/s, 184.7 s with --fast\n"
                      "Nothing was written to the unit.\n" +
                kPrompt);
  ExpectNothingWritten(s);
  const std::vector<std::string> after = AfterIdentification(s);
  ASSERT_GE(after.size(), 3u);
  EXPECT_EQ(after[0], "B014400");
  EXPECT_EQ(after[1], "E");
  // The first record, then the whole region: 2512 and 15072 bytes in 64-byte blocks.
  EXPECT_EQ(CountOf(after, "M"), 40u + 236u);
  EXPECT_EQ(testing::SpeedOf(s.unit, "X"), 14400u);
  EXPECT_EQ(s.unit.memory(), before);
}

// The estimate is the time a whole update of the same unit takes on the virtual clock, at the
// protocol's pace, to the flash command (the question answered at once).
TEST(Identify, EstimateIsTheUpdatesDuration) {
  struct Case {
    uint32_t checksum;
    uint32_t recordSize;  // of the unit's records
    const char* speedOption;
  };
  for (const Case& c : {Case{0x4C20E2, kRecordV2, "-s0"}, Case{0x123456, kRecordV1, "-s0"},
                        Case{0x4A80EB, kRecordV2, "-s2"}}) {
    SimSession identify;
    SimSession update;
    for (SimSession* s : {&identify, &update}) {
      s->unit.WriteConfigRecords(c.recordSize, 3, true);
      s->unit.SetCodeRegionChecksum(c.checksum);
    }
    ASSERT_EQ(identify.Run({"--identify", c.speedOption}), 1);
    ASSERT_EQ(update.Run({c.speedOption}, "y"), 1);
    ASSERT_TRUE(update.unit.flashed());
    const std::string out = identify.console.output();
    const size_t at = out.find("duration: about ");
    ASSERT_NE(at, std::string::npos);
    const double estimate = std::stod(out.substr(at + 16));
    const double flashAt = static_cast<double>(update.unit.transcript().back().timeNs) / 1e9;
    EXPECT_NEAR(estimate, flashAt, 0.05) << std::hex << c.checksum;
  }
}

TEST(Identify, UnitOnThePayloadsReleaseIsUpToDate) {
  SimSession s;
  s.unit.SetCodeRegionChecksum(0x4A80EB);  // the payload's own Pro row 160
  EXPECT_EQ(s.Run({"--identify", "-s2"}), 1);
  EXPECT_EQ(s.console.output(),
            kBanner + "Connected\n\nChecking version..\n"
                      "Unit: QuorelPro, firmware release 020904 (release table row 160, "
                      "code-region checksum 4a80eb)\n"
                      "Up to date: the unit runs this build's release 020904\n"
                      "An update by this build (QuorelPro 020904) would ask (y/n) first; "
                      "answered y, it would:\n"
                      "  configuration: left as it is\n"
                      "  second image: not sent\n"
                      "  blocks written: 114\n"
                      "  duration: about 142.8 s at 9600 bit/s, 135.3 s with --fast\n"
                      "Nothing was written to the unit.\n" +
                kPrompt);
  ExpectNothingWritten(s);
  EXPECT_EQ(AfterIdentification(s), std::vector<std::string>{"X"});

  // A build of an older release meets the unit: up to date too, and an update would go back.
  SimSession newer;
  newer.payload.releaseCode = 0x012704;
  newer.unit.SetCodeRegionChecksum(0x4A80EB);
  EXPECT_EQ(newer.Run({"--identify"}), 1);
  EXPECT_NE(newer.console.output().find(
                "Up to date: the unit runs a newer release than this build's 012704\n"
                "An update by this build (QuorelPro 012704) would ask (y/n) first;"),
            std::string::npos);
  ExpectNothingWritten(newer);
}

}  // namespace
}  // namespace quorel

namespace quorel {
namespace {

// A Pro unit on 042303, whose records an update converts from the oldest layout. Its region
// holds 0xFF, record 2 zeros: records of 2480 bytes 0xFF have the computed checksum fb2e and
// the stored ffff; zeros have both 0.
void PutOldUnit(SimSession& s) {
  s.unit.SetCodeRegionChecksum(testing::ChecksumOfRelease(s.payload, kProModel, 0x042303));
  s.unit.FillConfigRegion(0xFF);
  std::fill(s.unit.memory().begin() + kConfigBase + 2 * kRecordV1,
            s.unit.memory().begin() + kConfigBase + 3 * kRecordV1, 0);
}

std::string Region(const SimSession& s) {
  const auto area = s.unit.memory().begin() + kConfigBase;
  return std::string(area, area + kReadoutBytes);
}

TEST(SaveConfig, UpdateSavesTheRegionAsReadBeforeConvertingIt) {
  TempDir dir;
  const std::string file = dir.path + "/unit.cfg";
  std::ofstream(file) << "an earlier copy, replaced";
  SimSession s;
  PutOldUnit(s);
  const std::string region = Region(s);
  EXPECT_EQ(s.Run({"--save-config", file}), 1);
  EXPECT_TRUE(s.unit.flashed());
  EXPECT_NE(Region(s), region);  // converted and written back
  EXPECT_EQ(ReadFile(file), region);
  const std::string text = ReadFile(file + ".txt");
  EXPECT_EQ(text.substr(0, text.find("Saved: ")),
            "Configuration copy of QuorelPro, firmware release 042303 (release table row 33, "
            "code-region checksum 4cf56d)\n"
            "Bytes: 15072, byte k read from unit address 0x4000 + k (004000 to 007ADF)\n"
            "Layout found: oldest (2480-byte records)\n"
            "Record checksums (a record passes when they agree and are not 0):\n"
            "  record 0 at 004000: stored ffff, computed fb2e\n"
            "  record 1 at 0049B0: stored ffff, computed fb2e\n"
            "  record 2 at 005360: stored 0000, computed 0000\n"
            "  record 3 at 005D10: stored ffff, computed fb2e\n"
            "  record 4 at 0066C0: stored ffff, computed fb2e\n"
            "  record 5 at 007070: stored ffff, computed fb2e\n");
  EXPECT_EQ(text.size(), text.find("Saved: ") + std::string("Saved: 2026-12-09 15:40:00 UTC\n").size());
  EXPECT_FALSE(Exists(file + ".part") || Exists(file + ".txt.part"));
  // Said after the readout, before the write-back's dots.
  EXPECT_NE(s.console.output().find("Reading config data..\n" + Dots(14) +
                                    "\nConfiguration copy saved in " + file +
                                    " (15072 bytes) and " + file + ".txt\n......\nSending SW"),
            std::string::npos);
}

TEST(SaveConfig, IdentifyReadsTheRegionAt14400AndWritesNothing) {
  // A Pro unit on 110503 needs no conversion; for the copy the region is read all the same.
  TempDir dir;
  const std::string file = dir.path + "/unit.cfg";
  SimSession s;
  s.unit.WriteConfigRecords(kRecordV3, 5, true);
  s.unit.SetCodeRegionChecksum(testing::ChecksumOfRelease(s.payload, kProModel, 0x110503));
  const std::vector<uint8_t> before = s.unit.memory();
  EXPECT_EQ(s.Run({"--identify", "--save-config", file}), 1);
  ExpectNothingWritten(s);
  EXPECT_EQ(s.unit.memory(), before);
  EXPECT_EQ(ReadFile(file), Region(s));
  const std::vector<std::string> after = AfterIdentification(s);
  ASSERT_GE(after.size(), 2u);
  EXPECT_EQ(after[0], "B014400");
  EXPECT_EQ(CountOf(after, "M"), 236u);
  EXPECT_EQ(testing::SpeedOf(s.unit, "X"), 14400u);
  const std::string out = s.console.output();
  EXPECT_NE(out.find(")\nReading config data..\n" + Dots(14) + "\nConfiguration copy saved in " +
                     file + " (15072 bytes) and " + file + ".txt\nAn update by this build"),
            std::string::npos);
  const std::string text = ReadFile(file + ".txt");
  EXPECT_NE(text.find("Layout found: newest (2808-byte records)\n"), std::string::npos);
  EXPECT_NE(text.find("  record 5 at 0076D8: beyond the bytes read\n"), std::string::npos);
}

TEST(SaveConfig, RunWithoutAReadoutSavesNothing) {
  TempDir dir;
  const std::string file = dir.path + "/unit.cfg";
  SimSession s;
  s.unit.SetCodeRegionChecksum(testing::ChecksumOfRelease(s.payload, kProModel, 0x110503));
  EXPECT_EQ(s.Run({"--save-config", file}), 1);
  EXPECT_TRUE(s.unit.flashed());
  EXPECT_NE(s.console.output().find("No configuration was read, so there was nothing to save in " +
                                    file + "\n"),
            std::string::npos);
  EXPECT_FALSE(Exists(file) || Exists(file + ".txt") || Exists(file + ".part"));
}

TEST(SaveConfig, FileThatCannotBeWrittenEndsTheRunBeforeThePortOpens) {
  TempDir dir;
  for (const std::string& file : {dir.path + "/missing/unit.cfg", dir.path}) {
    SimSession s;
    PutOldUnit(s);
    EXPECT_EQ(s.Run({"--save-config", file}), 0);
    const std::string why = file == dir.path ? "Is a directory" : "No such file or directory";
    EXPECT_EQ(s.console.output(),
              kBanner + "Error, cannot write the configuration copy " + file + ": " + why + "\n" +
                  kPrompt);
    EXPECT_TRUE(s.unit.Commands().empty());
  }
  // Nor can the copy and the trace share a file; and the option needs its file.
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--trace", dir.path + "/t", "--save-config", dir.path + "/t"},
        {"--save-config=" + dir.path + "/t", "--trace=" + dir.path + "/t.txt"},
        {"--identify", "--save-config"}}) {
    SimSession s;
    EXPECT_EQ(s.Run(args), 0);
    const std::string usage = args.back() == "--save-config"
                                  ? "Error, usage is --save-config FILE to save a copy of the "
                                    "unit's configuration in FILE\n"
                                  : "Error, usage is --save-config FILE and --trace FILE with "
                                    "different files\n";
    EXPECT_EQ(s.console.output(), kBanner + usage + kPrompt);
    EXPECT_TRUE(s.unit.Commands().empty());
  }
}

TEST(SaveConfig, FailingWriteChangesNothingOnTheUnit) {
  // The copy's temporary file leads to a full disk: the save fails after the readout, and the
  // run ends before anything is written back.
  TempDir dir;
  const std::string file = dir.path + "/unit.cfg";
  ASSERT_EQ(symlink("/dev/full", (file + ".part").c_str()), 0);
  SimSession s;
  PutOldUnit(s);
  const std::vector<uint8_t> before = s.unit.memory();
  EXPECT_EQ(s.Run({"--save-config", file}), 0);
  EXPECT_EQ(s.unit.memory(), before);
  const std::vector<std::string> c = s.unit.Commands();
  for (const std::string& command : c) EXPECT_NE(command.rfind("D", 0), 0u) << command;
  EXPECT_EQ(c.back(), "X");
  EXPECT_NE(s.console.output().find(Dots(14) + "\nError, cannot write the configuration copy " +
                                    file + ": No space left on device\n"
                                           "Nothing was written to the unit. Update exiting\n" +
                                    kPrompt),
            std::string::npos);
  EXPECT_FALSE(Exists(file) || Exists(file + ".txt"));
}

}  // namespace
}  // namespace quorel
