#include <algorithm>
#include <cstring>
#include <vector>

#include "config/records.h"
#include "payload/release_code.h"

namespace quorel {

uint16_t RecordChecksum(const uint8_t* record, uint32_t checksumOffset) {
  uint32_t sum = 0;
  for (uint32_t offset = 8; offset + 1 < checksumOffset; offset += 2) {
    sum += static_cast<uint32_t>(record[offset]) | (static_cast<uint32_t>(record[offset + 1]) << 8);
  }
  return static_cast<uint16_t>(sum & 0xFFFF);
}

uint16_t StoredRecordChecksum(const uint8_t* record, uint32_t recordSize) {
  uint32_t at = ChecksumOffset(recordSize);
  return static_cast<uint16_t>(record[at] | (record[at + 1] << 8));
}

void StoreRecordChecksum(uint8_t* record, uint32_t recordSize) {
  uint32_t at = ChecksumOffset(recordSize);
  uint16_t sum = RecordChecksum(record, at);
  record[at] = static_cast<uint8_t>(sum & 0xFF);
  record[at + 1] = static_cast<uint8_t>(sum >> 8);
}

bool RecordPassesChecksum(const uint8_t* record, uint32_t recordSize) {
  uint16_t computed = RecordChecksum(record, ChecksumOffset(recordSize));
  return computed != 0 && computed == StoredRecordChecksum(record, recordSize);
}

void ConvertRecordV1ToV2(const uint8_t* source, uint8_t* destination) {
  std::memcpy(destination, source, 26);
  // The four groups and the two bytes that the middle layout added, at their defaults.
  std::memset(destination + 26, 0x04, 8);
  std::memset(destination + 34, 0x05, 8);
  std::memset(destination + 42, 0x80, 8);
  std::memset(destination + 50, 0x7C, 8);
  destination[58] = 0x00;
  destination[59] = 0x00;
  // The body; the old record's bytes 26 and 27 have no place in the new layout.
  std::memcpy(destination + 60, source + 28, 2448);
  StoreRecordChecksum(destination, kRecordV2Size);
}

void ConvertRecordV2ToV3(const uint8_t* source, uint8_t* destination) {
  std::memcpy(destination, source, 2444);
  // The newest layout adds a block that starts as a copy of bytes 76 to 371.
  std::memcpy(destination + 2444, source + 76, 296);
  std::memcpy(destination + 2740, source + 2444, 64);
  StoreRecordChecksum(destination, kRecordV3Size);
}

ConfigConversionKind ConversionKindForRelease(ReleaseCode unit, const FirmwarePayload& payload) {
  if (IsOlder(unit, kRecordV2Release) && !IsOlder(payload.releaseCode, kRecordV2Release)) {
    return kFromV1;
  }
  if (payload.productKind != kBaseModel && IsOlder(unit, kRecordV3Release) &&
      !IsOlder(payload.releaseCode, kRecordV3Release)) {
    return kFromV2;
  }
  return kNoConversion;
}

uint32_t TargetRecordSize(ProductKind payloadKind, ReleaseCode payloadCode) {
  bool newestLayout = payloadKind != kBaseModel && !IsOlder(payloadCode, kRecordV3Release);
  return newestLayout ? kRecordV3Size : kRecordV2Size;
}

void ConvertConfig(ConfigReadout& buffer, ConfigConversionKind kind, ProductKind payloadKind,
                   ReleaseCode payloadCode) {
  // Each new record is longer than the old one, so record i's destination overlaps the sources
  // of later records: convert from a scratch copy.
  if (kind == kFromV1) {
    std::vector<uint8_t> scratch(buffer.begin(), buffer.begin() + kConfigRecordCount * kRecordV1Size);
    for (uint32_t i = 0; i < kConfigRecordCount; ++i) {
      ConvertRecordV1ToV2(scratch.data() + i * kRecordV1Size, buffer.data() + i * kRecordV2Size);
    }
  }
  if (kind != kNoConversion && TargetRecordSize(payloadKind, payloadCode) == kRecordV3Size) {
    std::vector<uint8_t> scratch(buffer.begin(), buffer.begin() + kConfigRecordCount * kRecordV2Size);
    for (uint32_t i = 0; i < kConfigRecordCount; ++i) {
      ConvertRecordV2ToV3(scratch.data() + i * kRecordV2Size, buffer.data() + i * kRecordV3Size);
    }
  }
}

}  // namespace quorel
