#pragma once
// What a run of the updater must do and leave, as the tools that judge it (the soak, the fuzz
// target, the demo, the benchmark) expect it. Everything here is written out from the unit's
// memory layout, the configuration record layouts and the release thresholds, never taken from
// the updater's own functions, so that the tools stay judges of the updater rather than echoes
// of it: where the ranges lie and in which blocks they go, which conversion a unit's release or
// first record calls for and the records it gives, whether the second image is sent, and what
// every finished run must show from the outside.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "payload/payload.h"

namespace quorel::sim {

class UpdaterTap;

namespace expected {

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
constexpr uint32_t kCodeRegionStart = 0x8000;
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
// The record size the payload's firmware expects once the records are converted.
uint32_t TargetRecordSize(ProductKind payloadModel, ReleaseCode payloadRelease);
// 0 none, 1 from the oldest layout, 2 from the middle layout.
int KindForRelease(ReleaseCode unit, ProductKind payloadModel, ReleaseCode payloadRelease);
// For a unit no row identified, from its first record as read (kFormatCheckBytes bytes).
int KindForFirstRecord(const uint8_t* firstRecord, ProductKind payloadModel);
bool SecondImageSent(ReleaseCode unit, ProductKind payloadModel);
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
// The configuration buffer (kBufferBytes, as read, the rest as the run's buffer held it) after
// converting its six records for the payload.
std::vector<uint8_t> Converted(const uint8_t* buffer, int kind, ProductKind payloadModel,
                               ReleaseCode payloadRelease);
// Where record i of that size is written back.
uint32_t RecordAddress(uint32_t record, uint32_t size, uint8_t firstByte);

// ---- The blocks of a run ----

struct Block {
  uint32_t address;
  uint32_t length;
  const uint8_t* data;
  bool config;  // a block of the configuration write-back
};

// A range in blocks of kImageBlock, the last one short; source holds the byte for range.start.
std::vector<Block> RangeBlocks(Range range, const uint8_t* source);

struct Plan {
  int kind = 0;
  uint32_t recordSize = 0;  // of the records written back; 0 without a conversion
  bool secondImage = false;
  std::vector<uint8_t> converted;  // the records written back
  // Every block the run writes, in the order it writes them; where two blocks share an
  // address only the later is kept (record 5 over record 4).
  std::vector<Block> blocks;
};

// The run that a unit whose row holds unitRelease needs, with the conversion kind the run
// decided (checked apart against KindForRelease or KindForFirstRecord) and the configuration
// buffer it converted (nullptr when kind is 0).
Plan PlanRun(const FirmwarePayload& payload, ReleaseCode unitRelease, int kind,
             const uint8_t* readBuffer);

// How many leading bytes of blocks[i] no later block overwrites: the part the unit must hold
// at the flash.
std::vector<uint32_t> VisibleLengths(const std::vector<Block>& blocks);

// ---- What every finished run shows ----

constexpr char kKeyPrompt[] = "\nPress a key to exit program";
constexpr char kFlashTail[] = "JFLASHING DONE IN ABOUT 30 SECS\nF5382";
constexpr char kSaysFlashing[] = "\nNow flashing\n";

struct FinishedRun {
  int status = -1;
  const std::string* console = nullptr;
  const UpdaterTap* tap = nullptr;
  bool portOpen = false;      // after the run
  bool unitAnswered = false;  // as the run recorded it
  bool portGone = false;      // the adapter vanished: nothing more could be sent
};

// The ending: a status of the program, the key prompt last, the port closed; a flash only as
// the last thing sent, with status 1 and the console saying so; a run that gave up on a unit
// that answered sent X last.
void CheckEnding(const FinishedRun& run, std::vector<std::string>* violations);
// At the flash: every planned block went out with its bytes and its last attempt had a parsed
// reply equal to its sum, and no block went anywhere else.
void CheckBlocksAtFlash(const std::vector<Block>& plan, const UpdaterTap& tap,
                        std::vector<std::string>* violations);

}  // namespace expected
}  // namespace quorel::sim
