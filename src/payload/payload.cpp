#include "payload/payload.h"

namespace quorel {

uint32_t FindReleaseRow(const ReleaseTable& table, uint32_t checksum) {
  for (uint32_t row = 0; row < table.rows; ++row) {
    if (table.checksum[row] == checksum) return row;
  }
  return table.rows;
}

const char* ProductName(ProductKind kind) { return kind != kBaseModel ? "QuorelPro" : "Quorel   "; }

}  // namespace quorel
