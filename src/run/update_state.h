#pragma once
// What the phases of one run hand each other: the link to the unit, the facts the run has found
// out so far, the console and the compiled-in payload. The driver creates it at start; each
// phase reads and writes it and either returns to the driver or ends the run.
#include <cstdint>
#include <string>
#include <vector>

#include "config/records.h"
#include "config/settings_state.h"
#include "console/console.h"
#include "payload/payload.h"
#include "protocol/unit_link.h"

namespace quorel {

// One block the run wrote and the unit verified, kept for the verification pass before the
// flash. data points into the payload or into the configuration buffer, both alive for the run.
struct WrittenBlock {
  uint32_t address;
  uint32_t length;
  const uint8_t* data;
  int range;  // which range of the run the block belongs to; the pass prints a dot per range
};

// The sum of a stretch of the configuration area that the run does not write.
struct AreaSum {
  uint32_t address;
  uint32_t length;
  uint32_t sum;
};

// The ranges a run writes, in the order it writes them.
constexpr int kRangeConfig = 0;
constexpr int kRangeFirst = 1;
constexpr int kRangeSecond = 2;
constexpr int kRangeHwImage = 3;

// What the run has found out about the unit and decided, phase by phase.
struct RunFacts {
  // The speed the connection settled on; the line comes back to it after the configuration work.
  uint32_t negotiatedSpeed = 0;
  // Identification: the unit's code-region checksum and its release-table row (the table's row
  // count when no row matched).
  uint32_t unitChecksum = 0;
  uint32_t releaseRow = 0;
  bool unitUnidentified = false;
  ConfigConversionKind configConversionKind = kNoConversion;
  // The configuration region as read from the unit (byte k is unit address 0x4000 + k).
  ConfigReadout configReadout = {};
  // The blocks the run wrote, in order, and the sums of the parts of the configuration area
  // that the run does not write, taken before anything was written.
  std::vector<WrittenBlock> writtenBlocks;
  std::vector<AreaSum> configAreaSums;
  // What the records read show about earlier runs (judged when the run reads them to convert).
  bool settingsJudged = false;
  SettingsFinding settings;
  // The copy of this run's readout, kept or saved before the write-back (empty: none).
  std::string runCopyPath;
  // The write-back has sent its first block; it has verified its last one.
  bool writeBackStarted = false;
  bool writeBackDone = false;
};

// What the run has prepared for the command line's requests before the port was opened.
struct RunRequests {
  // --restore-config: the copy's bytes as checked before the port was opened, and the size of
  // their records.
  std::vector<uint8_t> restoreBytes;
  uint32_t restoreRecordSize = 0;
  // The folder of the automatic copies, read from the environment when the run starts (empty,
  // with the reason, when the environment names none).
  std::string copyFolder;
  std::string copyFolderError;
};

// Told how far an update's writing has come, for a progress display (the web page's bar; the
// terminal's progress is its dots, and it has none of these).
class ProgressObserver {
 public:
  virtual ~ProgressObserver() = default;
  // The blocks the update writes are known: totalBlocks of them, and leftNs[k] (k from 0 to
  // totalBlocks) the pace model's time from the k-th written block to the flash command.
  virtual void Planned(uint32_t totalBlocks, const std::vector<uint64_t>& leftNs) = 0;
  // done blocks are written and verified (the configuration's blocks are told before the plan,
  // which comes once the configuration work is over, with the count so far).
  virtual void BlocksWritten(uint32_t done) = 0;
};

struct UpdateState {
  UpdateState(SerialDevices& devices, Clock& clock, Console& consoleIo,
              const FirmwarePayload& firmware)
      : link(devices, clock, options), console(consoleIo), payload(firmware) {}

  // The command line, read once by the driver; the link reads its port and pace from it.
  RunOptions options;
  UnitLink link;
  RunRequests requests;
  RunFacts facts;
  Console& console;
  const FirmwarePayload& payload;
  // The progress display, when the program has one.
  ProgressObserver* progress = nullptr;
};

}  // namespace quorel
