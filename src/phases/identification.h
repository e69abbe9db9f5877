#pragma once
// Identification: the checksum of the unit's code region looked up in the release table, then an
// automatic confirmation, a refusal, or the user's answer to "(y/n)".
#include "phases/phase_result.h"

namespace quorel {

// Sets unitChecksum and releaseRow; sends "T" and goes on, or ends the run.
PhaseResult IdentifyUnit(UpdateState& s);

}  // namespace quorel
