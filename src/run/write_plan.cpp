#include "run/write_plan.h"

#include "config/records.h"
#include "payload/release_code.h"

namespace quorel {

namespace {

// A first byte of ':' marks a last record of the newest layout that belongs in the fourth
// record's place.
constexpr uint8_t kRecordFiveMovedMark = 0x3A;
// Units older than these releases also need the second image.
constexpr ReleaseCode kHwImageBeforeBase = 0x111103;
constexpr ReleaseCode kHwImageBeforePro = 0x110503;

}  // namespace

bool RestoringSettings(const UpdateState& s) { return !s.options.restoreConfigPath.empty(); }

bool ReadsConfigRegion(const UpdateState& s) {
  // With --restore-config the unit's settings are not read.
  if (RestoringSettings(s)) return false;
  if (s.options.identifyOnly && !s.options.saveConfigPath.empty()) return true;
  return s.facts.configConversionKind != kNoConversion;
}

bool WritesSettings(const UpdateState& s) {
  return RestoringSettings(s) || s.facts.configConversionKind != kNoConversion;
}

uint32_t RecordOffsetInRegion(const ConfigReadout& converted, uint32_t i, uint32_t size) {
  if (i == 5 && size == kRecordV3Size && converted[i * size] == kRecordFiveMovedMark) return 4 * size;
  return i * size;
}

uint32_t ConfigRecordAddress(const UpdateState& s, uint32_t i, uint32_t size) {
  return kConfigRegionBase + RecordOffsetInRegion(s.facts.configReadout, i, size);
}

bool SendsHwImage(const FirmwarePayload& payload, uint32_t releaseRow) {
  const ReleaseCode threshold =
      payload.productKind == kBaseModel ? kHwImageBeforeBase : kHwImageBeforePro;
  return IsOlder(payload.releaseTable.code[releaseRow], threshold);
}

}  // namespace quorel
