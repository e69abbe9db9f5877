#pragma once
// --identify: what the unit runs and what an update by this build would do, found the way an
// update finds it, with nothing written to the unit.
#include "run/phase_result.h"

namespace quorel {

// The run's status once the unit was reached and identified, known or not.
constexpr int kStatusIdentified = 1;

// Runs after the greeting, in place of identification and everything after it: asks for the
// code region's checksum and looks it up; for a unit an update would not refuse, makes the
// configuration decision, the format check of an unidentified unit and, with --save-config,
// the readout, as an update makes them; then prints what an update would do and its estimated
// duration. Never asks the question and sends no "T", "K", "V0", "D" or "J"; the driver's exit
// path then sends X.
PhaseResult IdentifyAndReport(UpdateState& s);

}  // namespace quorel
