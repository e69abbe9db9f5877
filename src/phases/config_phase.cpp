// The configuration phase and its readout: decide whether the unit's configuration records must
// be converted, lower the line to 14400 for the configuration work, recognise the older layouts
// in a unit that was not identified, read the configuration region in checksummed blocks; then
// convert, write back (config_writeback.cpp) and close the phase.
#include "phases/config_phase.h"

#include <algorithm>

#include "config/records.h"
#include "payload/release_code.h"
#include "protocol/protocol.h"
#include "serial/link.h"

namespace quorel {

namespace {

constexpr uint32_t kReadBlockLength = 64;
// Six records of the middle layout: the extent read for a conversion.
constexpr uint32_t kReadoutLength = kConfigRecordCount * kRecordV2Size;

PhaseResult ReadUnitMemory(UpdateState& s, uint32_t address, uint32_t count, uint8_t* destination,
                           bool dots) {
  SendLength(s, kReadBlockLength);
  const uint32_t blocks = count / kReadBlockLength + (count % kReadBlockLength != 0 ? 1 : 0);
  for (uint32_t i = 0; i < blocks; ++i) {
    const uint32_t blockAddress = address + i * kReadBlockLength;
    uint32_t length = kReadBlockLength;
    if ((i + 1) * kReadBlockLength > count) {
      length = count - i * kReadBlockLength;
      SendLength(s, length);
    }
    uint8_t* target = destination + i * kReadBlockLength;
    uint32_t reported = 0;
    bool verified = RepeatUntilVerified(s, length, [&](int) {
      return ReadBlockAttempt(s, blockAddress, target, length, &reported, [&] {
        if (reported != 0) Print(s.console, "+");
      });
    });
    if (!verified) return EndAfterBlockFailure(s, "configuration read", blockAddress);
    if (dots && (blockAddress + length) % 0x400 == 0) Print(s.console, ".");
  }
  return kGoOn;
}

}  // namespace

PhaseResult ReadOutConfig(UpdateState& s) {
  s.configConversionKind = kNoConversion;
  s.unitUnidentified = false;
  const ReleaseTable& table = s.payload.releaseTable;
  if (s.releaseRow >= table.rows) {
    s.unitUnidentified = true;
    s.releaseRow = 0;
  } else {
    s.configConversionKind = ConversionKindForRelease(table.code[s.releaseRow], s.payload);
  }

  if (s.currentSpeed > kConfigSpeed &&
      (s.unitUnidentified || s.configConversionKind != kNoConversion)) {
    if (!SendSpeedAndReopen(s, kConfigSpeed)) {
      ReportPortSpeedFailure(s, kConfigSpeed);
      return EndRun(kStatusFailed);
    }
    if (!SingleProbe(s)) {
      if (RunInterrupted()) return kInterruptedRun;
      return EndRun(kStatusFailed, "Connection failed at check config\n");
    }
    s.currentSpeed = kConfigSpeed;
  }

  uint8_t* buffer = s.configReadout.data();
  if (s.unitUnidentified) {
    Print(s.console, "Checking config data..\n");
    PhaseResult read = ReadUnitMemory(s, kConfigRegionBase, kRecordV2Size, buffer, false);
    if (!read.goOn) return read;
    if (RecordPassesChecksum(buffer, kRecordV1Size)) {
      s.configConversionKind = kFromV1;
      Print(s.console, "Config is pre 042803\n");
    }
    if (RecordPassesChecksum(buffer, kRecordV2Size) && s.payload.productKind != kBaseModel) {
      s.configConversionKind = kFromV2;
      Print(s.console, "Config is pre 101203 for Pro\n");
    }
  }

  if (s.configConversionKind == kNoConversion) return kGoOn;
  Print(s.console, "Reading config data..\n");
  PhaseResult read = ReadUnitMemory(s, kConfigRegionBase, kReadoutLength, buffer, true);
  if (!read.goOn) return read;
  // What lies beyond the region read (the tail of the last converted record) starts as zero.
  std::fill(s.configReadout.begin() + kReadoutLength, s.configReadout.end(), 0);
  SendCommand(s, "K");
  return kGoOn;
}

PhaseResult ConfigPhase(UpdateState& s) {
  PhaseResult result = ReadOutConfig(s);
  if (!result.goOn) return result;
  if (s.configConversionKind != kNoConversion) {
    ConvertConfig(s.configReadout, s.configConversionKind, s.payload.productKind,
                  s.payload.releaseCode);
    result = WriteBackConfig(s);
    if (!result.goOn) return result;
  }
  return FinishConfigPhase(s);
}

}  // namespace quorel
