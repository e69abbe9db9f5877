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
#include "sim/unit_layout.h"

namespace quorel::sim {

class UpdaterTap;

namespace expected {

// The unit's memory and record layouts, the release order and thresholds: what the simulated
// unit knows of itself, and the ground the expectations below stand on.
using namespace layout;

// ---- Releases ----

// The record size the payload's firmware expects once the records are converted.
uint32_t TargetRecordSize(ProductKind payloadModel, ReleaseCode payloadRelease);
// 0 none, 1 from the oldest layout, 2 from the middle layout.
int KindForRelease(ReleaseCode unit, ProductKind payloadModel, ReleaseCode payloadRelease);
// For a unit no row identified, from its first record as read (kFormatCheckBytes bytes).
int KindForFirstRecord(const uint8_t* firstRecord, ProductKind payloadModel);
bool SecondImageSent(ReleaseCode unit, ProductKind payloadModel);

// ---- Records ----

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
