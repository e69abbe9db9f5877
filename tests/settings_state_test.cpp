// What the six records read from a unit show about earlier runs, judged on regions built by hand
// from the record layouts (hand_records.h): never converted, converted, a write-back cut at each
// record, blank and damaged settings.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "config/settings_state.h"
#include "sim/unit_layout.h"
#include "support/hand_records.h"

namespace quorel {
namespace {

// The unit's memory map and record layouts, as the simulated unit describes them.
namespace layout = sim::layout;

// Every test of this program keeps the updater's automatic settings copies in an empty folder of
// its own under the build folder, removed after the test: never in the user's state folder, and
// never a copy another test left (a copy changes what a later run of the same unit does).
class CopyFolderPerTest : public ::testing::EmptyTestEventListener {
  void OnTestStart(const ::testing::TestInfo&) override {
    std::filesystem::create_directories(QUOREL_BINARY_DIR "/test-state");
    char name[] = QUOREL_BINARY_DIR "/test-state/XXXXXX";
    folder_ = mkdtemp(name) != nullptr ? name : QUOREL_BINARY_DIR "/test-state";
    setenv("XDG_STATE_HOME", folder_.c_str(), 1);
  }
  void OnTestEnd(const ::testing::TestInfo&) override {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
  std::string folder_;
};
[[maybe_unused]] const bool kCopyFolderPerTest = [] {
  setenv("XDG_STATE_HOME", QUOREL_BINARY_DIR "/test-state", 1);
  ::testing::UnitTest::GetInstance()->listeners().Append(new CopyFolderPerTest);
  return true;
}();

using Region = std::vector<uint8_t>;
constexpr uint32_t kRead = layout::kReadoutBytes;
// The record sizes of the oldest, middle and newest layouts.
constexpr uint32_t kV1 = layout::kRecordV1;
constexpr uint32_t kV2 = layout::kRecordV2;
constexpr uint32_t kV3 = layout::kRecordV3;

// Six hand records of the oldest layout, each with its checksum, then 192 bytes of 0x5A.
Region OldestRegion() {
  Region region(kRead, 0x5A);
  for (uint32_t r = 0; r < layout::kRecords; ++r) {
    std::vector<uint8_t> record = testing::HandOldestRecord(r);
    testing::HandStoreSum(record.data(), 2476);
    std::copy(record.begin(), record.end(), region.begin() + r * kV1);
  }
  return region;
}

Region Converted(const Region& region, int kind, bool newest) {
  Region all = testing::HandConvertedRegion(region.data(), kind, newest);
  all.resize(kRead);
  return all;
}

// The region as a write-back cut after `bytes` bytes of the converted records leaves it.
Region CutAfter(const Region& before, const Region& after, uint32_t bytes) {
  Region region = before;
  std::copy(after.begin(), after.begin() + bytes, region.begin());
  return region;
}

SettingsFinding Judge(const Region& region, uint32_t source, uint32_t target) {
  return ClassifySettings(region.data(), kRead, source, target);
}

TEST(SettingsState, OldestToNewestEveryCutOfTheWriteBackIsToldApart) {
  const Region oldest = OldestRegion();
  const Region newest = Converted(oldest, 1, true);
  EXPECT_EQ(Judge(oldest, kV1, kV3).state, SettingsState::kNeverConverted);
  EXPECT_EQ(Judge(newest, kV1, kV3).state, SettingsState::kConverted);

  // Cut between records and inside them: the records written before the cut are counted.
  for (uint32_t k = 1; k <= 4; ++k) {
    for (uint32_t extra : {0u, 1000u, 2803u}) {
      SCOPED_TRACE(::testing::Message() << "record " << k << " + " << extra << " bytes");
      const SettingsFinding found = Judge(CutAfter(oldest, newest, k * kV3 + extra), kV1, kV3);
      EXPECT_EQ(found.state, SettingsState::kPartlyWritten);
      EXPECT_EQ(found.recordsInNewLayout, k);
    }
  }
  // Inside the first record: it passes neither test, the others still pass as the oldest.
  for (uint32_t bytes : {100u, 256u, 2479u}) {
    EXPECT_EQ(Judge(CutAfter(oldest, newest, bytes), kV1, kV3).state,
              SettingsState::kFirstRecordCut) << bytes;
  }
  // Past the first record the second one no longer passes as the oldest: not the first-record
  // case, and nothing passes as the newest either.
  EXPECT_EQ(Judge(CutAfter(oldest, newest, 2600), kV1, kV3).state, SettingsState::kUnrecognised);
  // Inside the last record only its first bytes are read, and its checksum lies beyond them:
  // the five records judged pass, as after a whole write-back (the copies decide, elsewhere).
  EXPECT_EQ(Judge(CutAfter(oldest, newest, 5 * kV3 + 500), kV1, kV3).state,
            SettingsState::kConverted);

  // Converted settings whose first record was damaged are never converted again.
  Region damaged = newest;
  damaged[100] ^= 0x01;
  const SettingsFinding found = Judge(damaged, kV1, kV3);
  EXPECT_EQ(found.state, SettingsState::kPartlyWritten);
  EXPECT_EQ(found.recordsInNewLayout, 0u);

  // Blank, erased and damaged-before-any-update settings: converted as they are.
  EXPECT_EQ(Judge(Region(kRead, 0x00), kV1, kV3).state, SettingsState::kUnrecognised);
  EXPECT_EQ(Judge(Region(kRead, 0xFF), kV1, kV3).state, SettingsState::kUnrecognised);
  Region broken = oldest;
  broken[3 * kV1 + 100] ^= 0x01;
  EXPECT_EQ(Judge(broken, kV1, kV3).state, SettingsState::kUnrecognised);
}

TEST(SettingsState, MiddleToNewestAndOldestToMiddle) {
  const Region middle = Converted(OldestRegion(), 1, false);
  const Region newest = Converted(middle, 2, true);
  EXPECT_EQ(Judge(middle, kV2, kV3).state, SettingsState::kNeverConverted);
  EXPECT_EQ(Judge(newest, kV2, kV3).state, SettingsState::kConverted);
  const SettingsFinding cut = Judge(CutAfter(middle, newest, 2 * kV3 + 10), kV2, kV3);
  EXPECT_EQ(cut.state, SettingsState::kPartlyWritten);
  EXPECT_EQ(cut.recordsInNewLayout, 2u);

  // A base-model payload's target, the middle layout: all six records lie inside the readout.
  const Region oldest = OldestRegion();
  EXPECT_EQ(Judge(oldest, kV1, kV2).state, SettingsState::kNeverConverted);
  EXPECT_EQ(Judge(middle, kV1, kV2).state, SettingsState::kConverted);
  const SettingsFinding five = Judge(CutAfter(oldest, middle, 5 * kV2 + 10), kV1, kV2);
  EXPECT_EQ(five.state, SettingsState::kPartlyWritten);
  EXPECT_EQ(five.recordsInNewLayout, 5u);

  // The same layout on both sides cannot be told apart: whole records are simply written again.
  EXPECT_EQ(Judge(middle, kV2, kV2).state, SettingsState::kNeverConverted);
  EXPECT_EQ(Judge(Region(kRead, 0), kV2, kV2).state, SettingsState::kUnrecognised);
}

}  // namespace
}  // namespace quorel
