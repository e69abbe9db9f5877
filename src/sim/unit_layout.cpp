#include "sim/unit_layout.h"

namespace quorel::sim::layout {

// ---- Releases ----

bool Older(ReleaseCode a, ReleaseCode b) {
  const int order[] = {0, 2, 1};
  for (int byte : order) {
    const uint32_t x = (a >> (8 * byte)) & 0xFF;
    const uint32_t y = (b >> (8 * byte)) & 0xFF;
    if (x != y) return x < y;
  }
  return false;
}

uint32_t RecordSizeOf(ProductKind model, ReleaseCode release) {
  if (Older(release, kMiddleLayoutFrom)) return kRecordV1;
  if (model != kBaseModel && !Older(release, kNewestLayoutFrom)) return kRecordV3;
  return kRecordV2;
}

uint32_t FirstRow(const ReleaseTable& table, uint32_t checksum) {
  for (uint32_t row = 0; row < table.rows; ++row) {
    if (table.checksum[row] == checksum) return row;
  }
  return table.rows;
}

// ---- Records ----

uint32_t ByteSum(const uint8_t* data, size_t length) {
  uint32_t sum = 0;
  for (size_t i = 0; i < length; ++i) sum += data[i];
  return sum;
}

uint16_t RecordSum(const uint8_t* record, uint32_t size) {
  uint32_t sum = 0;
  for (uint32_t at = 8; at + 4 < size; at += 2) sum += record[at] | (record[at + 1] << 8);
  return static_cast<uint16_t>(sum);
}

bool RecordPasses(const uint8_t* record, uint32_t size) {
  const uint16_t stored = static_cast<uint16_t>(record[size - 4] | (record[size - 3] << 8));
  const uint16_t computed = RecordSum(record, size);
  return computed != 0 && stored == computed;
}

void SealRecord(uint8_t* record, uint32_t size) {
  const uint16_t sum = RecordSum(record, size);
  record[size - 4] = static_cast<uint8_t>(sum);
  record[size - 3] = static_cast<uint8_t>(sum >> 8);
}

}  // namespace quorel::sim::layout
