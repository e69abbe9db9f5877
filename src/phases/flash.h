#pragma once
// Flash commit: the flash command, the port closed, the instructions for powering the unit.
#include "run/phase_result.h"

namespace quorel {

// Always ends the run: status 1, or the run cut short before the flash command went out.
PhaseResult FlashCommit(UpdateState& s);

}  // namespace quorel
