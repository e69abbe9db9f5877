// The configuration phase and its readout: decide whether the unit's configuration records must
// be converted, lower the line to 14400 for the configuration work, recognise the older layouts
// in a unit that was not identified, read the configuration region in checksummed blocks; then
// convert, write back (config_writeback.cpp) and close the phase.
#include "phases/config_phase.h"

#include <algorithm>
#include <vector>

#include "config/records.h"
#include "payload/release_code.h"
#include "phases/config_copy.h"
#include "phases/verify.h"
#include "protocol/protocol.h"
#include "serial/link.h"

namespace quorel {

namespace {

constexpr uint32_t kReadBlockLength = 64;
// Six records of the middle layout: the extent read for a conversion.
constexpr uint32_t kReadoutLength = kConfigRecordCount * kRecordV2Size;
// The stretch a read is confirmed in, and how many confirmations a read gets.
constexpr uint32_t kConfirmStretch = 0x400;
constexpr int kMaxConfirmRounds = 3;

// Reads blocks [first, last) of the count bytes at address into destination through the block
// read exchange, setting the unit's length where it holds another one. With dots, a dot per
// 1024 bytes read.
bool ReadBlocks(UpdateState& s, uint32_t address, uint32_t count, uint8_t* destination,
                uint32_t first, uint32_t last, bool dots, uint32_t* failedAt) {
  for (uint32_t i = first; i < last; ++i) {
    const uint32_t blockAddress = address + i * kReadBlockLength;
    const uint32_t length = std::min(kReadBlockLength, count - i * kReadBlockLength);
    if (s.link.unitLength != length) SendLength(s.link, length);
    uint8_t* target = destination + i * kReadBlockLength;
    uint32_t reported = 0;
    bool verified = RepeatUntilVerified(s.link, length, [&](int) {
      return ReadBlockAttempt(s.link, blockAddress, target, length, &reported, [&] {
        if (reported != 0) Print(s.console, "+");
      });
    });
    if (!verified) {
      *failedAt = blockAddress;
      return false;
    }
    if (dots && (blockAddress + length) % 0x400 == 0) Print(s.console, ".");
  }
  return true;
}

// Reads count bytes of the unit's memory at address in 64-byte blocks, each checked by the
// unit's sum. A block whose "A" was damaged on the line into another valid address is read from
// there, and its sum agrees there too; so the whole read is then confirmed in stretches of 1024
// bytes, each stretch's sum asked for at its own address and compared with the bytes read. A
// stretch that differs is read again and confirmed again, at most kMaxConfirmRounds times in
// all. The unit is left holding the length it held after the last block read.
PhaseResult ReadUnitMemory(UpdateState& s, uint32_t address, uint32_t count, uint8_t* destination,
                           bool dots) {
  const uint32_t blocks = (count + kReadBlockLength - 1) / kReadBlockLength;
  SendLength(s.link, kReadBlockLength);
  uint32_t failedAt = 0;
  if (!ReadBlocks(s, address, count, destination, 0, blocks, dots, &failedAt)) {
    return EndAfterBlockFailure(s, "configuration read", failedAt);
  }
  const uint32_t lengthAfterRead = s.link.unitLength;

  const uint32_t blocksPerStretch = kConfirmStretch / kReadBlockLength;
  std::vector<uint32_t> differing;
  for (int round = 0; round < kMaxConfirmRounds; ++round) {
    if (round > 0) {
      // The stretches that differed, read again block by block.
      for (uint32_t offset : differing) {
        Print(s.console, "+");
        const uint32_t first = offset / kReadBlockLength;
        const uint32_t last = std::min(blocks, first + blocksPerStretch);
        if (!ReadBlocks(s, address, count, destination, first, last, false, &failedAt)) {
          return EndAfterBlockFailure(s, "configuration read", failedAt);
        }
      }
    }
    differing.clear();
    for (uint32_t offset = 0; offset < count; offset += kConfirmStretch) {
      const uint32_t length = std::min(kConfirmStretch, count - offset);
      uint32_t sum = 0;
      if (!QuerySum(s, address + offset, length, &sum)) {
        return EndAfterBlockFailure(s, "configuration read check", address + offset);
      }
      if (sum != BlockChecksum(destination + offset, length)) differing.push_back(offset);
    }
    if (differing.empty()) {
      if (s.link.unitLength != lengthAfterRead) SendLength(s.link, lengthAfterRead);
      return kGoOn;
    }
  }
  if (RunInterrupted()) return kInterruptedRun;
  Print(s.console,
        "\nThe unit's configuration could not be read back reliably (at %06X).\n"
        "The unit was not flashed. Update exiting\n",
        address + differing.front());
  return EndRun(kStatusFailed);
}

}  // namespace

PhaseResult ReadOutConfig(UpdateState& s) {
  s.facts.configConversionKind = kNoConversion;
  s.facts.unitUnidentified = false;
  const ReleaseTable& table = s.payload.releaseTable;
  if (s.facts.releaseRow >= table.rows) {
    s.facts.unitUnidentified = true;
    s.facts.releaseRow = 0;
  } else {
    s.facts.configConversionKind = ConversionKindForRelease(table.code[s.facts.releaseRow], s.payload);
  }

  if (s.link.currentSpeed > kConfigSpeed && (s.facts.unitUnidentified || ReadsConfigRegion(s))) {
    if (!SendSpeedAndReopen(s.link, kConfigSpeed)) {
      ReportPortSpeedFailure(s, kConfigSpeed);
      return EndRun(kStatusFailed);
    }
    if (!SingleProbe(s.link)) {
      if (RunInterrupted()) return kInterruptedRun;
      return EndRun(kStatusFailed, "Connection failed at check config\n");
    }
    s.link.currentSpeed = kConfigSpeed;
  }

  uint8_t* buffer = s.facts.configReadout.data();
  if (s.facts.unitUnidentified) {
    Print(s.console, "Checking config data..\n");
    PhaseResult read = ReadUnitMemory(s, kConfigRegionBase, kRecordV2Size, buffer, false);
    if (!read.goOn) return read;
    if (RecordPassesChecksum(buffer, kRecordV1Size)) {
      s.facts.configConversionKind = kFromV1;
      Print(s.console, "Config is pre 042803\n");
    }
    if (RecordPassesChecksum(buffer, kRecordV2Size) && s.payload.productKind != kBaseModel) {
      s.facts.configConversionKind = kFromV2;
      Print(s.console, "Config is pre 101203 for Pro\n");
    }
  }

  if (!ReadsConfigRegion(s)) {
    NoteNothingToSave(s);  // --save-config
    return kGoOn;
  }
  Print(s.console, "Reading config data..\n");
  PhaseResult read = ReadUnitMemory(s, kConfigRegionBase, kReadoutLength, buffer, true);
  if (!read.goOn) return read;
  // --save-config: the region as read, before it is converted.
  read = SaveConfigCopy(s, kReadoutLength);
  if (!read.goOn) return read;
  // What lies beyond the region read (the tail of the last converted record) starts as zero.
  std::fill(s.facts.configReadout.begin() + kReadoutLength, s.facts.configReadout.end(), 0);
  // --identify sends nothing that closes the readout: it ends with X.
  if (!s.requests.identifyOnly) SendCommand(s.link, "K");
  return kGoOn;
}

PhaseResult ConfigPhase(UpdateState& s) {
  PhaseResult result = ReadOutConfig(s);
  if (!result.goOn) return result;
  if (s.facts.configConversionKind != kNoConversion) {
    ConvertConfig(s.facts.configReadout, s.facts.configConversionKind, s.payload.productKind,
                  s.payload.releaseCode);
    result = RecordConfigAreaSums(s);
    if (!result.goOn) return result;
    result = WriteBackConfig(s);
    if (!result.goOn) return result;
  }
  return FinishConfigPhase(s);
}

}  // namespace quorel
