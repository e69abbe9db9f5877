#pragma once
// Image download: the main image over its two address ranges and, for a unit older than a fixed
// release for the payload's model, the second image; every block verified.
#include "run/phase_result.h"

namespace quorel {

PhaseResult ImageDownload(UpdateState& s);

}  // namespace quorel
