#pragma once
// The firmware release that one build of the updater delivers: the two images, the release's
// model and code, and the table of known firmware builds by which a unit is identified.
#include <cstdint>

#include "payload/memory_map.h"

namespace quorel {

using ProductKind = uint32_t;   // 0 the base model, 1 the Pro model
using ReleaseCode = uint32_t;   // 24-bit release code, shown with "%06x"

constexpr ProductKind kBaseModel = 0;
constexpr ProductKind kProModel = 1;

constexpr uint32_t kReleaseTableRows = 162;

// Three parallel columns; row i is entry i of each.
struct ReleaseTable {
  const uint32_t* kind;
  const uint32_t* code;
  const uint32_t* checksum;
  uint32_t rows;
};

struct FirmwarePayload {
  const uint8_t* SwImage;  // kSwImageSize bytes, byte i for unit address i
  const uint8_t* HwImage;  // kHwImageSize bytes, byte i for unit address 0x40000 + i
  ProductKind productKind;
  ReleaseCode releaseCode;
  ReleaseTable releaseTable;
};

// The payload compiled into this build.
const FirmwarePayload& CompiledPayload();

// Index of the first row whose checksum equals the value, or the row count when none does.
uint32_t FindReleaseRow(const ReleaseTable& table, uint32_t checksum);

// The model's name: "QuorelPro" for a non-zero kind, "Quorel" for the base model.
const char* ModelName(ProductKind kind);
// The model's name padded to nine characters, the longer name's width, as the console's lines
// set it ("Quorel   ").
const char* ProductName(ProductKind kind);

}  // namespace quorel
