#pragma once
// Configuration records worked out by hand from the record layouts, for tests that judge the
// conversion without asking the code that converts. Every byte of a hand record of the oldest
// layout is 0xFF except a few marked ones, so each converted record is known byte by byte:
//
//   oldest-layout offset   value        middle-layout offset   newest-layout offset(s)
//   0                      0x30 + r     0                      0
//   26, 27                 0x26, 0x27   dropped                dropped
//   44                     0x44         76                     76 and 2444
//   2475                   0x75         2507                   2803
//   2476, 2477 (checksum)  0x00, 0x00   dropped                dropped
//
// Middle layout: of the 1250 summed words, the four groups give 4 x (0404 + 0505 + 8080 + 7C7C),
// word 58 is 0000, word 76 is FF44, word 2506 is 75FF and the other 1231 words are FFFF:
// 0x8888, stored 88 88 at 2508. Newest layout: the same groups and words 76 (FF44), 2444 (FF44),
// 2802 (75FF), and 1378 words FFFF: 0x8739, stored 39 87 at 2804.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "common/expected_run.h"
#include "sim/unit_layout.h"

namespace quorel::testing {

constexpr uint16_t kHandMiddleChecksum = 0x8888;
constexpr uint16_t kHandNewestChecksum = 0x8739;

// Oldest-layout record r (0 to 5), 2480 bytes.
inline std::vector<uint8_t> HandOldestRecord(uint32_t r) {
  std::vector<uint8_t> record(sim::layout::kRecordV1, 0xFF);
  record[0] = static_cast<uint8_t>(0x30 + r);
  record[26] = 0x26;
  record[27] = 0x27;
  record[44] = 0x44;
  record[2475] = 0x75;
  record[2476] = 0x00;
  record[2477] = 0x00;
  return record;
}

// The group bytes every converted record holds at offsets 26 to 59.
inline std::vector<uint8_t> HandGroups() {
  std::vector<uint8_t> groups;
  for (int value : {0x04, 0x05, 0x80, 0x7C}) groups.insert(groups.end(), 8, static_cast<uint8_t>(value));
  groups.insert(groups.end(), 2, 0x00);
  return groups;
}

// Sum of the little-endian words from offset 8 up to end, stored low byte first at end (the
// checksum field of a record of end + 4 bytes).
inline void HandStoreSum(uint8_t* record, uint32_t end) { sim::layout::SealRecord(record, end + 4); }

// What the 15072 bytes of a region become: kind 1 takes six oldest records to the middle
// layout (the four groups at 26, bytes 28 to 2475 moved to 60); then, with newest, six middle
// records go to the newest layout (bytes 76 to 371 copied to 2444, 2444 to 2507 to 2740). Each
// record's two trailing bytes keep what the region held at their place; the 16848 bytes
// returned start as the region and zeros beyond it. The conversion is the simulated unit's
// description of the layouts that the soak judges by, never the updater's.
inline std::vector<uint8_t> HandConvertedRegion(const uint8_t* region, int kind, bool newest) {
  std::vector<uint8_t> buffer(sim::layout::kBufferBytes, 0);
  std::copy(region, region + sim::layout::kReadoutBytes, buffer.begin());
  // A payload whose records take the newest layout, or one that keeps the middle layout.
  const ProductKind model = newest ? kProModel : kBaseModel;
  const ReleaseCode release = newest ? sim::layout::kNewestLayoutFrom : sim::layout::kMiddleLayoutFrom;
  return sim::expected::Converted(buffer.data(), kind, model, release);
}

}  // namespace quorel::testing
