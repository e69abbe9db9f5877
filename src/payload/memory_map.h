#pragma once
// The unit's memory as an update sees it: the main image from address 0 in two ranges around
// the configuration region, the code region whose byte sum identifies the unit's firmware, and
// the second image at 0x40000. The updater and its payload generator both lay out from here.
#include <cstdint>

namespace quorel {

// The main image: byte i for unit address i.
constexpr uint32_t kSwImageSize = 0x20732;
constexpr uint32_t kSwImageEnd = kSwImageSize;  // unit address after the main image
// The configuration region, which holds the unit's settings and is never part of an image.
constexpr uint32_t kConfigRegionBase = 0x4000;
constexpr uint32_t kConfigRegionEnd = 0x8000;
// The main image is written in two ranges: below the configuration region and above it.
constexpr uint32_t kFirstRangeEnd = kConfigRegionBase;
constexpr uint32_t kSecondRangeStart = kConfigRegionEnd;
// The code region whose byte sum identifies the unit's firmware.
constexpr uint32_t kCodeRegionStart = 0x8000;
constexpr uint32_t kCodeRegionLength = 0xE000;
// The second image: byte i for unit address 0x40000 + i.
constexpr uint32_t kHwImageSize = 0x2C01E;
constexpr uint32_t kHwImageBase = 0x40000;
constexpr uint32_t kHwImageEnd = kHwImageBase + kHwImageSize;  // unit address after it

}  // namespace quorel
