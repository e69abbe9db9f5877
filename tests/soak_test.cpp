// The fault-injection soak as a test: a few hundred seeded scenarios of line damage and unit
// faults, each a whole update through the real driver against the simulated unit on the
// virtual clock, judged from the outside (src/sim/soak.h). Also what the judge itself is made
// of: the tap that follows the updater's blocks and replies, and that a flash of bytes nobody
// verified is caught.
#include <gtest/gtest.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "common/expected_run.h"
#include "sim/sim_session.h"
#include "soak/soak.h"
#include "soak/soak_series.h"
#include "support/sim_helpers.h"
#include "driver/driver.h"
#include "protocol/protocol.h"
#include "sim/scripted_console.h"
#include "sim/unit_layout.h"

namespace quorel {
namespace {

// The unit's memory map and record layouts, as the simulated unit describes them.
namespace layout = sim::layout;

using sim::ChecksumFault;
using sim::ChecksumFaultKind;
using sim::RunSoakSeed;
using sim::SoakEnd;
using sim::SoakOptions;
using sim::SoakOutcome;
using sim::UpdaterTap;

#if defined(__SANITIZE_ADDRESS__)
constexpr uint64_t kSeeds = 30;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr uint64_t kSeeds = 30;
#elif defined(__OPTIMIZE__)
constexpr uint64_t kSeeds = 300;
#else
constexpr uint64_t kSeeds = 80;
#endif
#elif defined(__OPTIMIZE__)
constexpr uint64_t kSeeds = 300;
#else
constexpr uint64_t kSeeds = 80;  // an unoptimised build runs the same seeds, fewer of them
#endif

std::string Replay(const SoakOutcome& o) {
  std::string text = "seed " + std::to_string(o.seed) + ": " + o.scenario.description + "\n";
  for (const std::string& v : o.violations) text += "  " + v + "\n";
  text += "replay with: quorel-soak --seed " + std::to_string(o.seed) + " --verbose\n";
  return text;
}

TEST(Soak, EveryRunEndsAndNoFlashCarriesUnverifiedData) {
  uint64_t flashed = 0;
  uint64_t failed = 0;
  uint64_t refused = 0;
  uint64_t limited = 0;
  uint64_t faults = 0;
  uint64_t repeats = 0;
  for (uint64_t seed = 1; seed <= kSeeds; ++seed) {
    const SoakOutcome o = RunSoakSeed(seed);
    EXPECT_TRUE(o.violations.empty()) << Replay(o);
    EXPECT_LE(o.virtualNs, o.boundNs) << Replay(o);
    switch (o.end) {
      case SoakEnd::kFlashed:
        ++flashed;
        break;
      case SoakEnd::kFailed:
        ++failed;
        break;
      case SoakEnd::kRefused:
        ++refused;
        break;
    }
    if (o.ProtocolLimitBlocks() > 0 || o.misidentified) ++limited;
    faults += o.lineFaults.Total();
    repeats += o.blockRepeats;
  }
  // The draw must exercise every ending, damage on the line and repeated blocks, or the soak
  // proves little.
  EXPECT_GT(flashed, kSeeds / 2);
  EXPECT_GT(failed, 0u);
  EXPECT_GT(refused, 0u);
  EXPECT_GT(faults, kSeeds);
  EXPECT_GT(repeats, kSeeds);
  std::printf("soak: %" PRIu64 " runs: %" PRIu64 " flashed, %" PRIu64 " failed, %" PRIu64
              " refused; %" PRIu64 " met a limit of the byte-sum protocol; %" PRIu64
              " line faults\n",
              kSeeds, flashed, failed, refused, limited, faults);
}

// Runs until done: run after run on one unit's memory, each cut short, until one completes; the
// settings must end converted once from the originals, whatever cut the runs short.
TEST(Soak, RunsCutShortUntilOneCompletesNeverCostTheSettings) {
  // Enough seeds, in every build, for write-backs cut short and restores to come up.
  const uint64_t seeds = std::max<uint64_t>(kSeeds / 5, 40);
  sim::SeriesTotals totals;
  for (uint64_t seed = 1; seed <= seeds; ++seed) {
    const sim::SeriesOutcome o = sim::RunSoakSeries(seed);
    std::string text;
    for (const std::string& v : o.violations) text += "  " + v + "\n";
    EXPECT_TRUE(o.violations.empty())
        << "seed " << seed << ": " << o.description << "\n"
        << text << "replay with: quorel-soak --until-done --seed " << seed << " --verbose\n";
    totals.Add(o);
  }
  EXPECT_EQ(totals.completed, seeds);
  EXPECT_EQ(totals.settingsLost, 0u);
  // The draw must cut write-backs short and lead to restores, or it proves little.
  uint64_t writeBackCuts = 0;
  for (const auto& [cause, byPhase] : totals.cuts) {
    if (byPhase.count(sim::CutPhase::kWriteBack) != 0)
      writeBackCuts += byPhase.at(sim::CutPhase::kWriteBack);
  }
  EXPECT_GT(writeBackCuts, seeds / 10);
  EXPECT_GT(totals.restoreRuns, seeds / 20);
  EXPECT_EQ(totals.restoreRuns, totals.saidRestore);

  // The judge compares for real: expecting one byte otherwise fails a seed that converts.
  sim::SeriesOptions skewed;
  skewed.skewExpectedSettings = true;
  uint64_t seed = 1;
  while (seed < 40 && sim::RunSoakSeries(seed).conversionKind == 0) ++seed;
  EXPECT_FALSE(sim::RunSoakSeries(seed, skewed).violations.empty()) << "seed " << seed;
}

TEST(Soak, SameSeedGivesTheSameRun) {
  const SoakOutcome first = RunSoakSeed(7);
  const SoakOutcome again = RunSoakSeed(7);
  EXPECT_EQ(first.scenario.description, again.scenario.description);
  EXPECT_EQ(first.status, again.status);
  EXPECT_EQ(first.virtualNs, again.virtualNs);
  EXPECT_EQ(first.lineFaults.Total(), again.lineFaults.Total());
  EXPECT_EQ(first.dataBlocksSent, again.dataBlocksSent);
}

TEST(Soak, JudgeCatchesAFlashOfBytesThatNoExchangeVerified) {
  // On a clean line every byte the unit holds must be the one sent; one changed behind the
  // updater's back is a violation, not a limit of the protocol.
  SoakOptions clean;
  clean.maxLineFaultRate = 0;
  SoakOptions tampered = clean;
  tampered.tamperAfterRun = true;
  int judged = 0;
  for (uint64_t seed = 1; seed <= 40 && judged < 3; ++seed) {
    const SoakOutcome honest = RunSoakSeed(seed, clean);
    if (honest.end != SoakEnd::kFlashed || honest.flashLostOnLine) continue;
    ++judged;
    EXPECT_TRUE(honest.violations.empty()) << Replay(honest);
    EXPECT_EQ(honest.ProtocolLimitBlocks(), 0u) << Replay(honest);
    const SoakOutcome o = RunSoakSeed(seed, tampered);
    ASSERT_EQ(o.violations.size(), 1u) << Replay(o);
    EXPECT_NE(o.violations[0].find("image block at 000000 holding other bytes than were sent"),
              std::string::npos)
        << o.violations[0];
  }
  EXPECT_EQ(judged, 3);
}

TEST(Soak, JudgeWorksOutTheConversionItselfAndFailsARunThatDiffersFromIt) {
  namespace expected = sim::expected;
  // The judge's decision, against releases written out here: a release exactly at each
  // threshold is not older than it, the lowest byte orders first, and a payload older than a
  // threshold converts nothing across it.
  struct Case {
    ReleaseCode unit;
    ProductKind model;
    ReleaseCode payload;
    int kind;
  };
  const Case cases[] = {
      {0x042303, kProModel, 0x020904, 1},  {0x042303, kBaseModel, 0x020904, 1},
      {0x042403, kProModel, 0x020904, 2},  {0x042403, kBaseModel, 0x020904, 0},
      {0x101103, kProModel, 0x020904, 2},  {0x101203, kProModel, 0x020904, 0},
      {0x030404, kProModel, 0x020904, 0},  {0x031003, kProModel, 0x042303, 0},
      {0x031003, kProModel, 0x093003, 1},  {0x050803, kProModel, 0x093003, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(expected::KindForRelease(c.unit, c.model, c.payload), c.kind) << std::hex << c.unit;
  }
  EXPECT_FALSE(expected::SecondImageSent(0x110503, kProModel));
  EXPECT_TRUE(expected::SecondImageSent(0x110403, kProModel));
  EXPECT_FALSE(expected::SecondImageSent(0x111103, kBaseModel));
  EXPECT_TRUE(expected::SecondImageSent(0x110603, kBaseModel));

  // Its conversion, against checksums worked out by hand: six zero oldest-layout records get
  // the four groups of defaults (4 x 0x0605 = 0x1814); six of 0xFF get 0x1343 in the middle
  // layout and 0x12AF in the newest; the newest layout repeats old bytes 44 to 339.
  std::vector<uint8_t> buffer(expected::kBufferBytes, 0);
  auto stored = [](const std::vector<uint8_t>& records, uint32_t at) {
    return records[at] | records[at + 1] << 8;
  };
  EXPECT_EQ(stored(expected::Converted(buffer.data(), 1, kBaseModel, 0x020904), 2508), 0x1814);
  EXPECT_EQ(stored(expected::Converted(buffer.data(), 1, kProModel, 0x020904), 2804), 0x1814);
  std::fill(buffer.begin(), buffer.begin() + layout::kRecords * layout::kRecordV1, 0xFF);
  EXPECT_EQ(stored(expected::Converted(buffer.data(), 1, kBaseModel, 0x020904), 2508), 0x1343);
  EXPECT_EQ(stored(expected::Converted(buffer.data(), 1, kProModel, 0x020904), 2804), 0x12AF);
  for (uint32_t k = 0; k < layout::kRecordV1; ++k) buffer[k] = static_cast<uint8_t>(k * 7);
  const std::vector<uint8_t> newest = expected::Converted(buffer.data(), 1, kProModel, 0x020904);
  EXPECT_EQ(newest[2444], static_cast<uint8_t>(44 * 7));
  EXPECT_EQ(newest[2739], static_cast<uint8_t>(339 * 7));
  EXPECT_EQ(newest[2803], static_cast<uint8_t>(2475 * 7));

  // A flashed run judged against another decision, or against records one byte apart, fails:
  // the judge compares what the updater did with its own expectation, not with the updater.
  SoakOptions clean;
  clean.maxLineFaultRate = 0;
  int converted = 0;
  for (uint64_t seed = 1; seed <= 60 && converted < 2; ++seed) {
    const SoakOutcome honest = RunSoakSeed(seed, clean);
    if (honest.end != SoakEnd::kFlashed || honest.flashLostOnLine) continue;
    ASSERT_TRUE(honest.violations.empty()) << Replay(honest);
    SoakOptions skewed = clean;
    skewed.skewExpectedKind = true;
    const SoakOutcome kind = RunSoakSeed(seed, skewed);
    ASSERT_EQ(kind.violations.size(), 1u) << Replay(kind);
    EXPECT_NE(kind.violations[0].find("conversion kind"), std::string::npos);
    if (honest.conversionKind == 0) continue;
    ++converted;
    skewed = clean;
    skewed.skewExpectedRecords = true;
    const SoakOutcome records = RunSoakSeed(seed, skewed);
    ASSERT_FALSE(records.violations.empty());
    EXPECT_NE(records.violations.back().find("configuration block at 004000"), std::string::npos)
        << Replay(records);
  }
  EXPECT_EQ(converted, 2);
}

TEST(Soak, BoundCoversTheSlowestRunTheAttemptBoundAllows) {
  // A unit that stops answering in the middle of the second image, at the slowest accepted
  // speed, after its configuration was read and written back: every block before the last
  // took its full count of attempts.
  sim::SimSession s;
  s.unit.WriteConfigRecords(layout::kRecordV1, 5, true);
  s.unit.SetCodeRegionChecksum(testing::ChecksumOfRelease(s.payload, kProModel, 0x031003));
  const uint32_t from = layout::kSecondImage.start;
  for (uint32_t a = from; a < from + 0x10000; a += layout::kImageBlock) {
    for (int attempt = 0; attempt < kMaxBlockAttempts - 1; ++attempt) {
      s.unit.faults().checksumFaults[{a, attempt}] = ChecksumFault{ChecksumFaultKind::kWrong, 0};
    }
  }
  s.unit.faults().silentAfterBlocks = 500;
  EXPECT_EQ(s.Run({"-s4"}), 0);
  EXPECT_FALSE(s.unit.flashed());
  EXPECT_NE(s.console.output().find("No verified reply from the unit for the second image"),
            std::string::npos);
  const uint64_t took = s.clock.NowNs();
  EXPECT_LT(took, sim::SoakTimeBoundNs() / 4) << took / 1000000000 << " s";
  // Far within the bound, though over half an hour of virtual time.
  EXPECT_GT(took, 1800ull * 1000000000);
}

TEST(UpdaterTap, FollowsEveryBlockAttemptAndTheReplyReadForIt) {
  sim::SimSession s;
  s.unit.SetCodeRegionChecksum(testing::ChecksumOfRelease(s.payload, kProModel, 0x110503));
  s.unit.faults().checksumFaults[{0x0400, 0}] = ChecksumFault{ChecksumFaultKind::kWrong, 0};
  s.unit.faults().checksumFaults[{0x0800, 0}] = ChecksumFault{ChecksumFaultKind::kMissing, 0};
  s.unit.faults().checksumFaults[{0x8400, 0}] = ChecksumFault{ChecksumFaultKind::kShort, 0};
  UpdaterTap tap(s.devices);
  std::vector<std::string> commands;
  tap.SetCommandObserver([&](const std::string& c) { commands.push_back(c); });
  s.console = ScriptedConsole("q");
  UpdateState state(tap, s.clock, s.console, s.payload);
  const char* argv[] = {"quorel-update"};
  ASSERT_EQ(RunUpdate(state, 1, argv), 1);

  // The updater's commands as the unit took them: the tap parses the same stream.
  EXPECT_EQ(commands, s.unit.Commands());
  ASSERT_TRUE(tap.flashSent());
  const auto& attempts = tap.attempts();
  // Every block, the two repeats, and the last block once more before the flash.
  ASSERT_EQ(attempts.size(), 16u + 98u + 2u + 1u);
  const uint32_t sum400 = BlockChecksum(s.payload.SwImage + 0x400, 0x400);
  EXPECT_EQ(attempts[1].address, 0x400u);
  EXPECT_EQ(attempts[1].sum, sum400);
  EXPECT_TRUE(attempts[1].replyParsed);
  EXPECT_EQ(attempts[1].replyValue, sum400 + 1);
  EXPECT_FALSE(attempts[1].Verified());
  EXPECT_TRUE(attempts[2].Verified());
  EXPECT_EQ(attempts[3].address, 0x800u);
  EXPECT_FALSE(attempts[3].replyRead);
  EXPECT_FALSE(attempts[3].Verified());
  EXPECT_TRUE(attempts[4].Verified());
  char shortReply[16];
  std::snprintf(shortReply, sizeof shortReply, "CS=%X",
                BlockChecksum(s.payload.SwImage + 0x8400, 0x400));
  EXPECT_EQ(attempts[16 + 1 + 2].reply, shortReply);
  EXPECT_TRUE(attempts[16 + 1 + 2].Verified());
  EXPECT_EQ(attempts.back().address, 0x20400u);
  EXPECT_EQ(attempts.back().length, 0x332u);
  // At the flash, one entry per block, each the block's last attempt.
  EXPECT_EQ(tap.blocksAtFlash().size(), 16u + 98u);
  for (const auto& entry : tap.blocksAtFlash()) EXPECT_TRUE(entry.second.Verified()) << entry.first;
}

TEST(UpdaterTap, ChecksumTextIsReadLikeTheUnitsReply) {
  uint32_t value = 7;
  EXPECT_TRUE(sim::ParseChecksumText("CS=0003FC00", &value));
  EXPECT_EQ(value, 0x3FC00u);
  EXPECT_TRUE(sim::ParseChecksumText("CS=1f#", &value));
  EXPECT_EQ(value, 0x1Fu);
  EXPECT_TRUE(sim::ParseChecksumText("CS=123456789", &value));
  EXPECT_EQ(value, 0x12345678u);
  value = 7;
  EXPECT_FALSE(sim::ParseChecksumText("CX=00000000", &value));
  EXPECT_FALSE(sim::ParseChecksumText("CS=", &value));
  EXPECT_FALSE(sim::ParseChecksumText(std::string("CS\0=1", 5), &value));
  EXPECT_FALSE(sim::ParseChecksumText("#CS=00000001", &value));
  EXPECT_EQ(value, 7u);
}

}  // namespace
}  // namespace quorel
