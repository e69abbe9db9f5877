#pragma once
// The check before the flash: the sums of every block the run wrote, asked for again at their
// places, and of the parts of the configuration area the run leaves alone.
#include "phases/phase_result.h"

namespace quorel {

// Takes the sums of the parts of the configuration area that the run will not write (all of it
// without a conversion), before anything is written there.
PhaseResult RecordConfigAreaSums(UpdateState& s);
// After the download: writes again every block whose sum at its place differs, checks the
// area's sums, repeats until a check finds nothing (at most 3 checks), then sends the run's
// last block once more.
PhaseResult VerifyBeforeFlash(UpdateState& s);

}  // namespace quorel
