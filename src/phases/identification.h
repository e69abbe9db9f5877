#pragma once
// Identification: the checksum of the unit's code region looked up in the release table, then an
// automatic confirmation, a refusal, or the user's answer to "(y/n)".
#include "run/phase_result.h"

namespace quorel {

// Sets unitChecksum and releaseRow; sends "T" and goes on, or ends the run.
PhaseResult IdentifyUnit(UpdateState& s);

// The two halves of IdentifyUnit, which --identify uses without the question and without "T".
// Asks the unit for the checksum of its code region and looks it up: sets unitChecksum and
// releaseRow (the table's row count when no row matched or the reply was unreadable).
void QueryUnitIdentity(UpdateState& s);
// What an update makes of the unit's row: an older release of the payload's model is updated
// at once, the other model refused, the payload's release or a newer one and an unknown unit
// updated only when the user answers y.
enum class UnitVerdict { kOlderRelease, kOtherModel, kUpToDate, kUnknown };
UnitVerdict JudgeUnit(const FirmwarePayload& payload, uint32_t releaseRow);

}  // namespace quorel
