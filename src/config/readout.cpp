// Configuration readout: decide whether the unit's configuration records must be converted,
// lower the line to 14400 for the configuration work, recognise the older layouts in a unit
// that was not identified, and read the configuration region in checksummed blocks.
#include <algorithm>

#include "config/records.h"
#include "serial/link.h"
#include "update/phases.h"
#include "update/protocol.h"
#include "update/release_code.h"

namespace quorel {

namespace {

constexpr uint32_t kReadBlockLength = 64;
// Six records of the middle layout: the extent read for a conversion.
constexpr uint32_t kReadoutLength = kConfigRecordCount * kRecordV2Size;

}  // namespace

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

bool ReadUnitMemory(UpdateState& s, uint32_t address, uint32_t count, uint8_t* destination,
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
    if (!verified) {
      ReportBlockFailure(s, "configuration read", blockAddress);
      return false;
    }
    if (dots && (blockAddress + length) % 0x400 == 0) Print(s.console, ".");
  }
  return true;
}

PhaseResult ConfigReadoutPhase(UpdateState& s) {
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
      LeaveUpdateMode(s);
      Print(s.console, "Connection failed at check config\n");
      return EndRun(kStatusFailed);
    }
    s.currentSpeed = kConfigSpeed;
  }

  uint8_t* buffer = s.configReadout.data();
  if (s.unitUnidentified) {
    Print(s.console, "Checking config data..\n");
    if (!ReadUnitMemory(s, kConfigRegionBase, kRecordV2Size, buffer, false)) {
      return EndRun(kStatusFailed);
    }
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
  if (!ReadUnitMemory(s, kConfigRegionBase, kReadoutLength, buffer, true)) {
    return EndRun(kStatusFailed);
  }
  // What lies beyond the region read (the tail of the last converted record) starts as zero.
  std::fill(s.configReadout.begin() + kReadoutLength, s.configReadout.end(), 0);
  SendText("K", s.port);
  return kGoOn;
}

}  // namespace quorel
