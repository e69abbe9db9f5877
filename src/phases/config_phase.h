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
// Whether the run writes the settings given with --restore-config instead of the unit's own.
bool RestoringSettings(const UpdateState& s);
// Whether the run writes settings back: a conversion of the unit's own, or a restore.
bool WritesSettings(const UpdateState& s);
// Where the write-back puts converted record i of the given size, as an offset from the
// region's start, and as a unit address (config_writeback.cpp).
uint32_t RecordOffsetInRegion(const ConfigReadout& converted, uint32_t i, uint32_t size);
uint32_t ConfigRecordAddress(const UpdateState& s, uint32_t i, uint32_t size);

}  // namespace quorel
