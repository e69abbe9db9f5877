#include "sim/unit_profile.h"

#include "sim/unit_layout.h"

namespace quorel::sim {

bool ChecksumOfRelease(const FirmwarePayload& payload, ProductKind kind, ReleaseCode code,
                       uint32_t* checksum) {
  const ReleaseTable& table = payload.releaseTable;
  for (uint32_t row = 0; row < table.rows; ++row) {
    if (table.kind[row] != kind || table.code[row] != code) continue;
    if (layout::FirstRow(table, table.checksum[row]) != row) continue;
    *checksum = table.checksum[row];
    return true;
  }
  return false;
}

uint32_t UnknownChecksum(const FirmwarePayload& payload) {
  // Near the checksums of real builds, so that it looks like one.
  uint32_t checksum = 0x4C5A3B;
  const ReleaseTable& table = payload.releaseTable;
  while (layout::FirstRow(table, checksum) != table.rows) ++checksum;
  return checksum;
}

uint32_t RecordSizeOfRelease(ProductKind kind, ReleaseCode code) {
  return layout::RecordSizeOf(kind, code);
}

}  // namespace quorel::sim
