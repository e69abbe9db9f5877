#pragma once
// What the simulated unit knows of itself, written out from the unit's memory layout, the
// configuration record layouts and the release thresholds, never taken from the updater's own
// functions: where the images and the configuration lie, the record sizes and their checksum,
// and the order of release codes. The tools that judge a run build their expectations on it.
#include <cstddef>
#include <cstdint>

#include "payload/payload.h"

namespace quorel::sim::layout {

// ---- The unit's memory ----

struct Range {
  uint32_t start;
  uint32_t end;  // exclusive
};
constexpr Range kMainFirst{0x000000, 0x004000};
constexpr Range kMainSecond{0x008000, 0x020732};
constexpr Range kSecondImage{0x040000, 0x06C01E};
constexpr uint32_t kImageBlock = 0x400;

constexpr uint32_t kConfigBase = 0x4000;
constexpr uint32_t kConfigEnd = 0x8000;  // the main image's second range starts here
constexpr uint32_t kConfigBytes = kConfigEnd - kConfigBase;  // 16384
// The code region whose byte sum identifies the unit's firmware: 0x8000..0x15FFF.
constexpr uint32_t kCodeRegionStart = 0x8000;
constexpr uint32_t kCodeRegionLength = 0xE000;
constexpr uint32_t kRecords = 6;
constexpr uint32_t kRecordV1 = 2480;
constexpr uint32_t kRecordV2 = 2512;
constexpr uint32_t kRecordV3 = 2808;
constexpr uint32_t kReadBlock = 64;    // configuration reads
constexpr uint32_t kWriteBlock = 256;  // configuration writes
constexpr uint32_t kFormatCheckBytes = kRecordV2;
constexpr uint32_t kReadoutBytes = kRecords * kRecordV2;  // 15072
constexpr uint32_t kBufferBytes = kRecords * kRecordV3;   // 16848: the records once converted
// Record 5 of the newest layout goes to record 4's place when it starts with this byte.
constexpr uint8_t kMovedRecordMark = 0x3A;

// ---- Releases ----

// The releases from which units store the middle record layout, and (Pro units only) the
// newest; and the releases before which the second image is sent, by the payload's model.
constexpr ReleaseCode kMiddleLayoutFrom = 0x042403;
constexpr ReleaseCode kNewestLayoutFrom = 0x101203;
constexpr ReleaseCode kSecondImageBeforeBase = 0x111103;
constexpr ReleaseCode kSecondImageBeforePro = 0x110503;

// Release order: byte 0 (the last two digits shown) decides first, then byte 2, then byte 1.
bool Older(ReleaseCode a, ReleaseCode b);
// The record size firmware of this model and release stores.
uint32_t RecordSizeOf(ProductKind model, ReleaseCode release);
// The first row holding the checksum; table.rows when none does.
uint32_t FirstRow(const ReleaseTable& table, uint32_t checksum);

// ---- Records ----

uint32_t ByteSum(const uint8_t* data, size_t length);
// Sum modulo 65536 of the little-endian words from offset 8 to the checksum field (size - 4).
uint16_t RecordSum(const uint8_t* record, uint32_t size);
// The stored checksum equals the computed one, and that is not 0.
bool RecordPasses(const uint8_t* record, uint32_t size);
// Stores RecordSum at the checksum field.
void SealRecord(uint8_t* record, uint32_t size);
}  // namespace quorel::sim::layout
