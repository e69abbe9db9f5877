#pragma once
// The check before the flash: the sums of every block the run wrote, asked for again at their
// places, and of the parts of the configuration area the run leaves alone.
#include "run/phase_result.h"

namespace quorel {

// Asks the unit for the sum of length bytes at address: "A%06X", "L%06X" only when the unit
// holds another length, then C once waiting input is discarded. No data is sent. A reply that
// does not parse is asked for again, after a drain and the length, within the attempt bound.
// False when no reply parsed.
bool QuerySum(UpdateState& s, uint32_t address, uint32_t length, uint32_t* sum);

// Takes the sums of the parts of the configuration area that the run will not write (all of it
// without a conversion), before anything is written there.
PhaseResult RecordConfigAreaSums(UpdateState& s);
// After the download: writes again every block whose sum at its place differs, checks the
// area's sums, repeats until a check finds nothing (at most 3 checks), then sends the run's
// last block once more.
PhaseResult VerifyBeforeFlash(UpdateState& s);

}  // namespace quorel
