#include "payload/payload.h"

#include <string>

namespace quorel {

namespace {

std::string Padded(const char* name) {
  std::string text(name);
  if (text.size() < 9) text.resize(9, ' ');
  return text;
}

}  // namespace

uint32_t FindReleaseRow(const ReleaseTable& table, uint32_t checksum) {
  for (uint32_t row = 0; row < table.rows; ++row) {
    if (table.checksum[row] == checksum) return row;
  }
  return table.rows;
}

const char* ModelName(ProductKind kind) { return kind != kBaseModel ? "QuorelPro" : "Quorel"; }

const char* ProductName(ProductKind kind) {
  static const std::string padded[2] = {Padded(ModelName(kBaseModel)), Padded(ModelName(kProModel))};
  return padded[kind != kBaseModel ? 1 : 0].c_str();
}

}  // namespace quorel
