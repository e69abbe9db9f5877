#pragma once
// The three layouts in which firmware releases have stored the unit's six configuration
// records, their 16-bit record checksum, and the conversion of older records to the layout of
// the payload's firmware.
#include <array>
#include <cstdint>

#include "payload/payload.h"

namespace quorel {

// Which configuration conversion the unit needs: 0 none, 1 from the oldest record layout,
// 2 from the middle layout for a Pro payload.
using ConfigConversionKind = int;
constexpr ConfigConversionKind kNoConversion = 0;
constexpr ConfigConversionKind kFromV1 = 1;
constexpr ConfigConversionKind kFromV2 = 2;

// Mirror of the unit's configuration region: byte k stands for unit address 0x4000 + k. Room
// for six of the largest records, since the conversion builds its output in place.
constexpr uint32_t kConfigReadoutSize = 16848;
using ConfigReadout = std::array<uint8_t, kConfigReadoutSize>;

constexpr uint32_t kConfigRecordCount = 6;
constexpr uint32_t kRecordV1Size = 2480;  // ConfigRecordV1
constexpr uint32_t kRecordV2Size = 2512;  // ConfigRecordV2
constexpr uint32_t kRecordV3Size = 2808;  // ConfigRecordV3
// Releases from which the layouts changed.
constexpr ReleaseCode kRecordV2Release = 0x042403;
constexpr ReleaseCode kRecordV3Release = 0x101203;

// Offset of a record's checksum field: the fifth- and fourth-last bytes.
constexpr uint32_t ChecksumOffset(uint32_t recordSize) { return recordSize - 4; }

// Sum modulo 65536 of the little-endian 16-bit words from offset 8 up to the checksum field.
uint16_t RecordChecksum(const uint8_t* record, uint32_t checksumOffset);
uint16_t StoredRecordChecksum(const uint8_t* record, uint32_t recordSize);
void StoreRecordChecksum(uint8_t* record, uint32_t recordSize);
// A record passes when its stored checksum equals the computed one and that is not 0.
bool RecordPassesChecksum(const uint8_t* record, uint32_t recordSize);

// One 2480-byte record to one 2512-byte record, and one 2512-byte record to one 2808-byte
// record; each result carries a freshly computed checksum. The two trailing bytes of the
// destination are left as they are.
void ConvertRecordV1ToV2(const uint8_t* source, uint8_t* destination);
void ConvertRecordV2ToV3(const uint8_t* source, uint8_t* destination);

// The record size the payload's firmware expects: 2808 for a Pro payload of release 101203 or
// newer, 2512 otherwise.
uint32_t TargetRecordSize(ProductKind payloadKind, ReleaseCode payloadCode);

// The conversion an identified unit of this release needs: from the oldest layout when it is
// older than 042403 and the payload is not, from the middle layout when a Pro payload of 101203
// or newer meets a unit older than that, otherwise none.
ConfigConversionKind ConversionKindForRelease(ReleaseCode unit, const FirmwarePayload& payload);

// Converts the six records held in the buffer, in place, to the payload's layout.
void ConvertConfig(ConfigReadout& buffer, ConfigConversionKind kind, ProductKind payloadKind,
                   ReleaseCode payloadCode);

}  // namespace quorel
