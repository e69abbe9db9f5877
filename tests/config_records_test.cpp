// The configuration record layouts as pure data: the record checksum and its pass test, the
// conversion of single records from the oldest and middle layouts, and the in-place conversion
// of the six records of a whole configuration region.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "config/records.h"
#include "sim/unit_layout.h"
#include "support/hand_records.h"

namespace quorel {
namespace {

// The unit's memory map and record layouts, as the simulated unit describes them.
namespace layout = sim::layout;
using layout::kRecords;
using layout::kRecordV1;
using layout::kRecordV2;
using layout::kRecordV3;
using layout::kReadoutBytes;

using Bytes = std::vector<uint8_t>;

uint16_t StoredAt(const uint8_t* bytes, uint32_t offset) {
  return static_cast<uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

// A record whose every byte differs from its neighbours and from byte to byte of the records
// around it, so that a byte taken from the wrong place shows.
Bytes Pattern(uint32_t size, uint32_t salt) {
  Bytes record(size);
  for (uint32_t i = 0; i < size; ++i) {
    record[i] = static_cast<uint8_t>((i * 7 + (i >> 8) * 13 + salt * 29 + 1) & 0xFF);
  }
  return record;
}

Bytes V1ToV2(const Bytes& v1, uint8_t fill = 0xEE) {
  Bytes v2(kRecordV2, fill);
  ConvertRecordV1ToV2(v1.data(), v2.data());
  return v2;
}

Bytes V2ToV3(const Bytes& v2, uint8_t fill = 0xEE) {
  Bytes v3(kRecordV3, fill);
  ConvertRecordV2ToV3(v2.data(), v3.data());
  return v3;
}

// ---- The record checksum ----

TEST(RecordChecksum, SumsLittleEndianWordsFromEightUpToTheField) {
  for (uint32_t size : {kRecordV1, kRecordV2, kRecordV3}) {
    const uint32_t field = ChecksumOffset(size);
    EXPECT_EQ(field, size - 4);
    Bytes record(size, 0);
    // Bytes 0 to 7, the field itself and the two trailing bytes take no part.
    for (uint32_t i = 0; i < 8; ++i) record[i] = 0xFF;
    for (uint32_t i = field; i < size; ++i) record[i] = 0xFF;
    EXPECT_EQ(RecordChecksum(record.data(), field), 0) << size;
    // The first and the last word of the sum; the even byte is the low one.
    record[8] = 0x01;
    EXPECT_EQ(RecordChecksum(record.data(), field), 0x0001) << size;
    record[9] = 0x02;
    EXPECT_EQ(RecordChecksum(record.data(), field), 0x0201) << size;
    record[field - 2] = 0x30;
    record[field - 1] = 0x40;
    EXPECT_EQ(RecordChecksum(record.data(), field), 0x4231) << size;
  }
  // The sum wraps at 65536: 1234 words of 0x0101 and one more 0xFF00 on top.
  Bytes record(kRecordV1, 0x01);
  EXPECT_EQ(RecordChecksum(record.data(), ChecksumOffset(kRecordV1)),
            static_cast<uint16_t>(1234u * 0x0101u));
  record[9] = 0x00;
  record[8] = 0x00;
  record[2475] = 0xFF;  // last word's high byte: 0x0101 -> 0xFF01
  EXPECT_EQ(RecordChecksum(record.data(), ChecksumOffset(kRecordV1)),
            static_cast<uint16_t>(1233u * 0x0101u - 0x0101u + 0xFF01u));
}

TEST(RecordChecksum, StoreWritesTheSumLowByteFirst) {
  Bytes record = Pattern(kRecordV2, 3);
  const uint16_t sum = RecordChecksum(record.data(), 2508);
  StoreRecordChecksum(record.data(), kRecordV2);
  EXPECT_EQ(record[2508], static_cast<uint8_t>(sum & 0xFF));
  EXPECT_EQ(record[2509], static_cast<uint8_t>(sum >> 8));
  EXPECT_EQ(StoredRecordChecksum(record.data(), kRecordV2), sum);
  // Storing the field leaves the sum as it was: the field lies outside it.
  EXPECT_EQ(RecordChecksum(record.data(), 2508), sum);
}

TEST(RecordChecksum, PassesOnlyWhenStoredEqualsANonZeroSum) {
  for (uint32_t size : {kRecordV1, kRecordV2}) {
    Bytes record = Pattern(size, 5);
    StoreRecordChecksum(record.data(), size);
    ASSERT_NE(StoredRecordChecksum(record.data(), size), 0);
    EXPECT_TRUE(RecordPassesChecksum(record.data(), size)) << size;
    // One bit off in the stored value, and one changed byte inside the sum.
    record[size - 4] ^= 0x01;
    EXPECT_FALSE(RecordPassesChecksum(record.data(), size)) << size;
    record[size - 4] ^= 0x01;
    record[100] ^= 0x10;
    EXPECT_FALSE(RecordPassesChecksum(record.data(), size)) << size;
    record[100] ^= 0x10;
    // Bytes outside the sum do not matter.
    record[0] ^= 0xFF;
    record[7] ^= 0xFF;
    record[size - 1] ^= 0xFF;
    EXPECT_TRUE(RecordPassesChecksum(record.data(), size)) << size;
  }
}

TEST(RecordChecksum, ZeroAndErasedRecordsFailBothTests) {
  const Bytes zero(kRecordV2, 0x00);
  EXPECT_EQ(RecordChecksum(zero.data(), ChecksumOffset(kRecordV1)), 0);
  EXPECT_EQ(RecordChecksum(zero.data(), ChecksumOffset(kRecordV2)), 0);
  EXPECT_FALSE(RecordPassesChecksum(zero.data(), kRecordV1));
  EXPECT_FALSE(RecordPassesChecksum(zero.data(), kRecordV2));

  const Bytes erased(kRecordV2, 0xFF);
  EXPECT_EQ(RecordChecksum(erased.data(), ChecksumOffset(kRecordV1)), 0xFB2E);
  EXPECT_EQ(RecordChecksum(erased.data(), ChecksumOffset(kRecordV2)), 0xFB1E);
  EXPECT_EQ(StoredRecordChecksum(erased.data(), kRecordV1), 0xFFFF);
  EXPECT_EQ(StoredRecordChecksum(erased.data(), kRecordV2), 0xFFFF);
  EXPECT_FALSE(RecordPassesChecksum(erased.data(), kRecordV1));
  EXPECT_FALSE(RecordPassesChecksum(erased.data(), kRecordV2));
}

// ---- Conversion of single records ----

TEST(RecordConversion, ZeroOldestRecordGetsTheGroupDefaultsAndChecksum1814) {
  const Bytes v1(kRecordV1, 0x00);
  const Bytes v2 = V1ToV2(v1);
  for (uint32_t i = 0; i < 2508; ++i) {
    uint8_t expected = 0x00;
    if (i >= 26 && i < 34) expected = 0x04;
    if (i >= 34 && i < 42) expected = 0x05;
    if (i >= 42 && i < 50) expected = 0x80;
    if (i >= 50 && i < 58) expected = 0x7C;
    ASSERT_EQ(v2[i], expected) << "byte " << i;
  }
  EXPECT_EQ(v2[2508], 0x14);
  EXPECT_EQ(v2[2509], 0x18);
  EXPECT_TRUE(RecordPassesChecksum(v2.data(), kRecordV2));

  // On to the newest layout: the groups stay, the added block is zero, the sum is the same.
  const Bytes v3 = V2ToV3(v2);
  for (uint32_t i = 0; i < 2804; ++i) ASSERT_EQ(v3[i], i < 2444 ? v2[i] : 0x00) << "byte " << i;
  EXPECT_EQ(v3[2804], 0x14);
  EXPECT_EQ(v3[2805], 0x18);
}

TEST(RecordConversion, ErasedRecordsGetFreshChecksums) {
  const Bytes v2 = V1ToV2(Bytes(kRecordV1, 0xFF));
  EXPECT_EQ(StoredAt(v2.data(), 2508), 0x1343);
  const Bytes v3 = V2ToV3(v2);
  EXPECT_EQ(StoredAt(v3.data(), 2804), 0x12AF);
  // 1398 words of 0xFFFF.
  const Bytes fromErasedV2 = V2ToV3(Bytes(kRecordV2, 0xFF));
  EXPECT_EQ(StoredAt(fromErasedV2.data(), 2804), 0xFA8A);
  EXPECT_TRUE(RecordPassesChecksum(v2.data(), kRecordV2));
}

TEST(RecordConversion, OldestToMiddleMovesTheBodyBehindTheGroups) {
  const Bytes v1 = Pattern(kRecordV1, 1);
  const Bytes v2 = V1ToV2(v1);
  EXPECT_TRUE(std::equal(v1.begin(), v1.begin() + 26, v2.begin()));
  EXPECT_EQ(Bytes(v2.begin() + 26, v2.begin() + 34), Bytes(8, 0x04));
  EXPECT_EQ(Bytes(v2.begin() + 34, v2.begin() + 42), Bytes(8, 0x05));
  EXPECT_EQ(Bytes(v2.begin() + 42, v2.begin() + 50), Bytes(8, 0x80));
  EXPECT_EQ(Bytes(v2.begin() + 50, v2.begin() + 58), Bytes(8, 0x7C));
  EXPECT_EQ(v2[58], 0x00);
  EXPECT_EQ(v2[59], 0x00);
  EXPECT_TRUE(std::equal(v1.begin() + 28, v1.begin() + 2476, v2.begin() + 60));
  EXPECT_EQ(StoredAt(v2.data(), 2508), RecordChecksum(v2.data(), 2508));
  // The trailing bytes are not written.
  EXPECT_EQ(v2[2510], 0xEE);
  EXPECT_EQ(v2[2511], 0xEE);
  EXPECT_EQ(V1ToV2(v1, 0x33)[2510], 0x33);
}

TEST(RecordConversion, MiddleToNewestAddsACopyOfBytes76To371) {
  const Bytes v2 = Pattern(kRecordV2, 2);
  const Bytes v3 = V2ToV3(v2);
  EXPECT_TRUE(std::equal(v2.begin(), v2.begin() + 2444, v3.begin()));
  EXPECT_TRUE(std::equal(v2.begin() + 76, v2.begin() + 372, v3.begin() + 2444));
  EXPECT_TRUE(std::equal(v2.begin() + 2444, v2.begin() + 2508, v3.begin() + 2740));
  EXPECT_EQ(StoredAt(v3.data(), 2804), RecordChecksum(v3.data(), 2804));
  EXPECT_EQ(v3[2806], 0xEE);
  EXPECT_EQ(v3[2807], 0xEE);
}

TEST(RecordConversion, OldestToNewestInTwoSteps) {
  const Bytes v1 = Pattern(kRecordV1, 4);
  const Bytes v3 = V2ToV3(V1ToV2(v1));
  EXPECT_TRUE(std::equal(v1.begin() + 44, v1.begin() + 340, v3.begin() + 2444));
  EXPECT_TRUE(std::equal(v1.begin() + 2412, v1.begin() + 2476, v3.begin() + 2740));
  EXPECT_TRUE(std::equal(v1.begin(), v1.begin() + 26, v3.begin()));
  EXPECT_TRUE(std::equal(v1.begin() + 28, v1.begin() + 2412, v3.begin() + 60));
}

TEST(RecordConversion, DroppedBytesAndSourceChecksumFieldsLeaveNoTrace) {
  Bytes v1 = Pattern(kRecordV1, 6);
  // Values that the pattern never puts next to each other, so a copy of them would show.
  v1[26] = 0xA7;
  v1[27] = 0xA7;
  const Bytes v2 = V1ToV2(v1);
  const Bytes v3 = V2ToV3(v2);
  const uint8_t pair[] = {0xA7, 0xA7};
  EXPECT_EQ(std::search(v2.begin(), v2.end(), pair, pair + 2), v2.end());
  EXPECT_EQ(std::search(v3.begin(), v3.end(), pair, pair + 2), v3.end());

  // Other values in bytes 26 and 27, and another checksum field and trailing bytes: the same
  // result, byte for byte.
  Bytes other = v1;
  other[26] = 0x00;
  other[27] = 0x5B;
  other[2476] ^= 0xFF;
  other[2477] ^= 0x0F;
  other[2478] ^= 0xFF;
  other[2479] ^= 0xFF;
  EXPECT_EQ(V1ToV2(other), v2);
  EXPECT_EQ(V2ToV3(V1ToV2(other)), v3);

  Bytes otherV2 = v2;
  otherV2[2508] ^= 0xFF;
  otherV2[2509] ^= 0x01;
  otherV2[2510] ^= 0xFF;
  otherV2[2511] ^= 0xFF;
  EXPECT_EQ(V2ToV3(otherV2), v3);
}

// ---- The whole region, in place ----

// Six records of the given layout back to back, every record distinct; the rest of the buffer
// holds a filler that no conversion step may touch.
ConfigReadout RegionOf(uint32_t size) {
  ConfigReadout buffer;
  buffer.fill(0xC3);
  for (uint32_t r = 0; r < kRecords; ++r) {
    Bytes record = Pattern(size, 10 + r);
    std::copy(record.begin(), record.end(), buffer.begin() + r * size);
  }
  return buffer;
}

Bytes RecordAt(const ConfigReadout& buffer, uint32_t index, uint32_t size) {
  return Bytes(buffer.begin() + index * size, buffer.begin() + (index + 1) * size);
}

TEST(ConvertConfig, OldestRegionToMiddleLayoutForAnOlderProOrABasePayload) {
  const ConfigReadout original = RegionOf(kRecordV1);
  struct Payload {
    ProductKind kind;
    ReleaseCode code;
  };
  for (Payload p : {Payload{kProModel, 0x093003}, Payload{kBaseModel, 0x020904},
                    Payload{kBaseModel, 0x101203}}) {
    ConfigReadout buffer = original;
    ConvertConfig(buffer, kFromV1, p.kind, p.code);
    for (uint32_t r = 0; r < kRecords; ++r) {
      // Each record as converted alone, into what the buffer held at its new place.
      Bytes expected = RecordAt(original, r, kRecordV2);
      ConvertRecordV1ToV2(RecordAt(original, r, kRecordV1).data(), expected.data());
      EXPECT_EQ(RecordAt(buffer, r, kRecordV2), expected) << "record " << r;
    }
    // Record 3 starts at 7536 with the oldest record 3's leading bytes.
    EXPECT_TRUE(std::equal(original.begin() + 3 * kRecordV1, original.begin() + 3 * kRecordV1 + 26,
                           buffer.begin() + 7536));
    EXPECT_EQ(buffer[7536 + 26], 0x04);
    EXPECT_TRUE(std::equal(buffer.begin() + kReadoutBytes, buffer.end(),
                           original.begin() + kReadoutBytes))
        << "a base payload or an older Pro payload never gets the newest layout";
  }
}

TEST(ConvertConfig, OldestRegionToNewestLayoutForACurrentProPayload) {
  const ConfigReadout original = RegionOf(kRecordV1);
  for (ReleaseCode code : {0x020904u, 0x101203u}) {
    ConfigReadout buffer = original;
    ConvertConfig(buffer, kFromV1, kProModel, code);
    for (uint32_t r = 0; r < kRecords; ++r) {
      const Bytes v1 = RecordAt(original, r, kRecordV1);
      const Bytes v3(buffer.begin() + r * kRecordV3, buffer.begin() + r * kRecordV3 + 2806);
      EXPECT_TRUE(std::equal(v1.begin(), v1.begin() + 26, v3.begin())) << r;
      EXPECT_TRUE(std::equal(v1.begin() + 28, v1.begin() + 2412, v3.begin() + 60)) << r;
      EXPECT_TRUE(std::equal(v1.begin() + 44, v1.begin() + 340, v3.begin() + 2444)) << r;
      EXPECT_TRUE(std::equal(v1.begin() + 2412, v1.begin() + 2476, v3.begin() + 2740)) << r;
      EXPECT_EQ(StoredAt(v3.data(), 2804), RecordChecksum(v3.data(), 2804)) << r;
    }
    // Record 3 starts at 8424.
    EXPECT_TRUE(std::equal(original.begin() + 3 * kRecordV1, original.begin() + 3 * kRecordV1 + 26,
                           buffer.begin() + 8424));
    // The last record's trailing bytes lie beyond what was read and are not written.
    EXPECT_EQ(buffer[16846], 0xC3);
    EXPECT_EQ(buffer[16847], 0xC3);
  }
}

TEST(ConvertConfig, MiddleRegionToNewestLayoutInPlace) {
  const ConfigReadout original = RegionOf(kRecordV2);
  ConfigReadout buffer = original;
  ConvertConfig(buffer, kFromV2, kProModel, 0x020904);
  for (uint32_t r = 0; r < kRecords; ++r) {
    Bytes expected = RecordAt(original, r, kRecordV3);
    ConvertRecordV2ToV3(RecordAt(original, r, kRecordV2).data(), expected.data());
    EXPECT_EQ(RecordAt(buffer, r, kRecordV3), expected) << "record " << r;
    // Trailing bytes keep what the buffer held at their place.
    EXPECT_EQ(buffer[r * kRecordV3 + 2806], original[r * kRecordV3 + 2806]) << r;
    EXPECT_EQ(buffer[r * kRecordV3 + 2807], original[r * kRecordV3 + 2807]) << r;
  }
}

TEST(ConvertConfig, NothingToDoLeavesTheBufferByteForByte) {
  const ConfigReadout v2Region = RegionOf(kRecordV2);
  struct Case {
    ConfigConversionKind kind;
    ProductKind payloadKind;
    ReleaseCode payloadCode;
  };
  const Case cases[] = {
      {kFromV2, kProModel, 0x093003},   // an older Pro payload keeps the middle layout
      {kFromV2, kProModel, 0x042803},
      {kFromV2, kBaseModel, 0x020904},  // the middle layout is the newest for the base model
      {kNoConversion, kProModel, 0x020904},
      {kNoConversion, kBaseModel, 0x020904},
  };
  for (const Case& c : cases) {
    ConfigReadout buffer = v2Region;
    ConvertConfig(buffer, c.kind, c.payloadKind, c.payloadCode);
    EXPECT_TRUE(buffer == v2Region) << "kind " << c.kind << " payload " << c.payloadKind << " "
                                    << std::hex << c.payloadCode;
  }
}

// Records worked out by hand (support/hand_records.h): literal bytes at named offsets and
// literal stored checksums, for the middle layout (base payload) and the newest (Pro payload).
TEST(ConvertConfig, HandWorkedRecordsGiveTheLiteralBytesAndChecksums) {
  ConfigReadout region{};
  for (uint32_t r = 0; r < kRecords; ++r) {
    const Bytes record = testing::HandOldestRecord(r);
    std::copy(record.begin(), record.end(), region.begin() + r * kRecordV1);
  }
  const Bytes groups = testing::HandGroups();
  for (bool pro : {false, true}) {
    ConfigReadout buffer = region;
    ConvertConfig(buffer, kFromV1, pro ? kProModel : kBaseModel, 0x020904);
    const uint32_t size = pro ? kRecordV3 : kRecordV2;
    for (uint32_t r = 0; r < kRecords; ++r) {
      const uint8_t* record = buffer.data() + r * size;
      EXPECT_EQ(record[0], 0x30 + r) << r;
      EXPECT_TRUE(std::equal(groups.begin(), groups.end(), record + 26)) << r;
      EXPECT_EQ(record[76], 0x44) << r;
      EXPECT_EQ(record[pro ? 2444 : 2507], pro ? 0x44 : 0x75) << r;
      EXPECT_EQ(record[2803 % size], pro ? 0x75 : 0xFF) << r;
      EXPECT_EQ(record[pro ? 2804 : 2508], pro ? 0x39 : 0x88) << r;
      EXPECT_EQ(record[pro ? 2805 : 2509], pro ? 0x87 : 0x88) << r;
      // Everything else up to the checksum is 0xFF; the dropped bytes appear nowhere.
      uint32_t others = 0;
      for (uint32_t i = 1; i < size - 4; ++i) others += (i >= 26 && i < 60) || record[i] == 0xFF;
      EXPECT_EQ(others, size - 5 - (pro ? 3 : 2)) << r;
    }
  }
}

// The conversion each unit release needs, from a table written out by hand: thresholds 042403
// and 101203 (dates: byte 0 the year, then byte 2 the month, then byte 1 the day), releases
// exactly at each, payloads older than each, both models.
TEST(ConversionKind, FollowsATableOfReleases) {
  struct Row {
    ReleaseCode unit;
    ProductKind model;
    ReleaseCode payload;
    ConfigConversionKind kind;
  };
  const Row rows[] = {
      {0x042303, kProModel, 0x020904, 1},  {0x042303, kBaseModel, 0x020904, 1},
      {0x123102, kProModel, 0x020904, 1},  {0x042403, kProModel, 0x020904, 2},
      {0x042403, kBaseModel, 0x020904, 0}, {0x093003, kProModel, 0x020904, 2},
      {0x093003, kBaseModel, 0x020904, 0}, {0x101203, kProModel, 0x020904, 0},
      {0x101203, kBaseModel, 0x020904, 0}, {0x110503, kProModel, 0x020904, 0},
      {0x042303, kProModel, 0x042403, 1},  {0x042403, kProModel, 0x042403, 0},
      {0x042303, kProModel, 0x093003, 1},  {0x042403, kProModel, 0x093003, 0},
      {0x093003, kProModel, 0x101203, 2},  {0x101203, kProModel, 0x101203, 0},
      {0x030303, kProModel, 0x031003, 0},  {0x030303, kBaseModel, 0x031003, 0},
      {0x030303, kBaseModel, 0x042403, 1},
  };
  FirmwarePayload payload = CompiledPayload();
  for (const Row& row : rows) {
    payload.productKind = row.model;
    payload.releaseCode = row.payload;
    EXPECT_EQ(ConversionKindForRelease(row.unit, payload), row.kind)
        << std::hex << "unit " << row.unit << " payload " << row.payload << " model "
        << row.model;
  }
}

TEST(ConvertConfig, TargetSizeFollowsThePayload) {
  EXPECT_EQ(TargetRecordSize(kProModel, 0x020904), kRecordV3);
  EXPECT_EQ(TargetRecordSize(kProModel, 0x101203), kRecordV3);  // equal is not older
  EXPECT_EQ(TargetRecordSize(kProModel, 0x093003), kRecordV2);
  EXPECT_EQ(TargetRecordSize(kBaseModel, 0x020904), kRecordV2);
  EXPECT_EQ(TargetRecordSize(kBaseModel, 0x101203), kRecordV2);
}

}  // namespace
}  // namespace quorel
