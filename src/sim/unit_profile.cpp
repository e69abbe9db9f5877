#include "sim/unit_profile.h"

#include "config/records.h"
#include "payload/release_code.h"

namespace quorel::sim {

bool ChecksumOfRelease(const FirmwarePayload& payload, ProductKind kind, ReleaseCode code,
                       uint32_t* checksum) {
  const ReleaseTable& table = payload.releaseTable;
  for (uint32_t row = 0; row < table.rows; ++row) {
    if (table.kind[row] != kind || table.code[row] != code) continue;
    if (FindReleaseRow(table, table.checksum[row]) != row) continue;
    *checksum = table.checksum[row];
    return true;
  }
  return false;
}

uint32_t UnknownChecksum(const FirmwarePayload& payload) {
  // Near the checksums of real builds, so that it looks like one.
  uint32_t checksum = 0x4C5A3B;
  while (FindReleaseRow(payload.releaseTable, checksum) != payload.releaseTable.rows) ++checksum;
  return checksum;
}

uint32_t RecordSizeOfRelease(ProductKind kind, ReleaseCode code) {
  if (IsOlder(code, kRecordV2Release)) return kRecordV1Size;
  if (kind != kBaseModel && !IsOlder(code, kRecordV3Release)) return kRecordV3Size;
  return kRecordV2Size;
}

}  // namespace quorel::sim
