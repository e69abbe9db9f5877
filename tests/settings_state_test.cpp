// What the six records read from a unit show about earlier runs, judged on regions built by hand
// from the record layouts (hand_records.h): never converted, converted, a write-back cut at each
// record, blank and damaged settings.
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "config/settings_state.h"
#include "support/hand_records.h"

namespace quorel {
namespace {

// Every test of this program keeps the updater's automatic settings copies in the build folder,
// never in the user's own state folder; tests that look at the copies use a folder of their own.
[[maybe_unused]] const bool kCopiesInBuildFolder =
    setenv("XDG_STATE_HOME", QUOREL_BINARY_DIR "/test-state", 1) == 0;

using Region = std::vector<uint8_t>;
constexpr uint32_t kRead = 15072;

// Six hand records of the oldest layout, each with its checksum, then 192 bytes of 0x5A.
Region OldestRegion() {
  Region region(kRead, 0x5A);
  for (uint32_t r = 0; r < 6; ++r) {
    std::vector<uint8_t> record = testing::HandOldestRecord(r);
    testing::HandStoreSum(record.data(), 2476);
    std::copy(record.begin(), record.end(), region.begin() + r * 2480);
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
  EXPECT_EQ(Judge(oldest, 2480, 2808).state, SettingsState::kNeverConverted);
  EXPECT_EQ(Judge(newest, 2480, 2808).state, SettingsState::kConverted);

  // Cut between records and inside them: the records written before the cut are counted.
  for (uint32_t k = 1; k <= 4; ++k) {
    for (uint32_t extra : {0u, 1000u, 2803u}) {
      SCOPED_TRACE(::testing::Message() << "record " << k << " + " << extra << " bytes");
      const SettingsFinding found = Judge(CutAfter(oldest, newest, k * 2808 + extra), 2480, 2808);
      EXPECT_EQ(found.state, SettingsState::kPartlyWritten);
      EXPECT_EQ(found.recordsInNewLayout, k);
    }
  }
  // Inside the first record: it passes neither test, the others still pass as the oldest.
  for (uint32_t bytes : {100u, 256u, 2479u}) {
    EXPECT_EQ(Judge(CutAfter(oldest, newest, bytes), 2480, 2808).state,
              SettingsState::kFirstRecordCut) << bytes;
  }
  // Past the first record the second one no longer passes as the oldest: not the first-record
  // case, and nothing passes as the newest either.
  EXPECT_EQ(Judge(CutAfter(oldest, newest, 2600), 2480, 2808).state, SettingsState::kUnrecognised);
  // Inside the last record only its first bytes are read, and its checksum lies beyond them:
  // the five records judged pass, as after a whole write-back (the copies decide, elsewhere).
  EXPECT_EQ(Judge(CutAfter(oldest, newest, 5 * 2808 + 500), 2480, 2808).state,
            SettingsState::kConverted);

  // Converted settings whose first record was damaged are never converted again.
  Region damaged = newest;
  damaged[100] ^= 0x01;
  const SettingsFinding found = Judge(damaged, 2480, 2808);
  EXPECT_EQ(found.state, SettingsState::kPartlyWritten);
  EXPECT_EQ(found.recordsInNewLayout, 0u);

  // Blank, erased and damaged-before-any-update settings: converted as they are.
  EXPECT_EQ(Judge(Region(kRead, 0x00), 2480, 2808).state, SettingsState::kUnrecognised);
  EXPECT_EQ(Judge(Region(kRead, 0xFF), 2480, 2808).state, SettingsState::kUnrecognised);
  Region broken = oldest;
  broken[3 * 2480 + 100] ^= 0x01;
  EXPECT_EQ(Judge(broken, 2480, 2808).state, SettingsState::kUnrecognised);
}

TEST(SettingsState, MiddleToNewestAndOldestToMiddle) {
  const Region middle = Converted(OldestRegion(), 1, false);
  const Region newest = Converted(middle, 2, true);
  EXPECT_EQ(Judge(middle, 2512, 2808).state, SettingsState::kNeverConverted);
  EXPECT_EQ(Judge(newest, 2512, 2808).state, SettingsState::kConverted);
  const SettingsFinding cut = Judge(CutAfter(middle, newest, 2 * 2808 + 10), 2512, 2808);
  EXPECT_EQ(cut.state, SettingsState::kPartlyWritten);
  EXPECT_EQ(cut.recordsInNewLayout, 2u);

  // A base-model payload's target, the middle layout: all six records lie inside the readout.
  const Region oldest = OldestRegion();
  EXPECT_EQ(Judge(oldest, 2480, 2512).state, SettingsState::kNeverConverted);
  EXPECT_EQ(Judge(middle, 2480, 2512).state, SettingsState::kConverted);
  const SettingsFinding five = Judge(CutAfter(oldest, middle, 5 * 2512 + 10), 2480, 2512);
  EXPECT_EQ(five.state, SettingsState::kPartlyWritten);
  EXPECT_EQ(five.recordsInNewLayout, 5u);

  // The same layout on both sides cannot be told apart: whole records are simply written again.
  EXPECT_EQ(Judge(middle, 2512, 2512).state, SettingsState::kNeverConverted);
  EXPECT_EQ(Judge(Region(kRead, 0), 2512, 2512).state, SettingsState::kUnrecognised);
}

}  // namespace
}  // namespace quorel
