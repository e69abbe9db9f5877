#pragma once
// The configuration phase: decides whether the unit's configuration records must be converted,
// lowers the line to 14400 for the work, checks the first record of an unidentified unit, reads
// the configuration region, converts the records and writes them back, and ends, in every run,
// with the closing sequence and the return to the negotiated speed.
#include "run/phase_result.h"

namespace quorel {

PhaseResult ConfigPhase(UpdateState& s);

// The steps of the phase, in the order ConfigPhase runs them (config_phase.cpp and
// config_writeback.cpp).
PhaseResult ReadOutConfig(UpdateState& s);
PhaseResult WriteBackConfig(UpdateState& s);
PhaseResult FinishConfigPhase(UpdateState& s);

}  // namespace quorel
