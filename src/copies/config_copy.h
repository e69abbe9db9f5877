#pragma once
// The copy of the unit's configuration that --save-config asks for: written once the readout is
// confirmed and before anything is written back, or, in a run that reads no configuration, a
// line that there was nothing to save.
#include "run/phase_result.h"

namespace quorel {

// The unit as the run knows it: model, release and row, or that it was not identified; and the
// checksum of its code region.
std::string UnitDescription(const UpdateState& s);

// The record size of the layout the unit's configuration is in, as far as the run knows it:
// from the conversion decision, from the release of an identified unit, from the first
// record's checksums for an unidentified one; 0 when none is recognised.
uint32_t ConfigLayoutFound(const UpdateState& s);

// Before the port is opened: true when there is no --save-config or its files can be written;
// otherwise says why and returns false.
bool CheckConfigCopyFile(UpdateState& s);

// Writes the first length bytes of the readout to the --save-config file and its text beside
// it (nothing without --save-config). When they cannot be written the run ends there, with
// status 0 and nothing written to the unit.
PhaseResult SaveConfigCopy(UpdateState& s, uint32_t length);

// With --save-config, says that the run read no configuration and so saved nothing.
void NoteNothingToSave(UpdateState& s);

}  // namespace quorel
