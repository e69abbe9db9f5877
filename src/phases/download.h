#pragma once
// Image download: the main image over its two address ranges and, for a unit older than a fixed
// release for the payload's model, the second image; every block verified.
#include "run/phase_result.h"

namespace quorel {

PhaseResult ImageDownload(UpdateState& s);

// Whether the download also sends the second image to a unit of this release-table row (row 0
// stands for an unidentified unit): when its release is older than a fixed one for the
// payload's model.
bool SendsHwImage(const FirmwarePayload& payload, uint32_t releaseRow);

}  // namespace quorel
