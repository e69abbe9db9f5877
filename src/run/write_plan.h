#pragma once
// What the run reads from and writes to the unit, decided from the command line and what the
// run has found out so far: whether it restores a copy, reads the configuration region, writes
// settings back and where each record goes, and whether the second image is sent. The phases
// that do the work and the ones that plan or check it (the progress display, --identify, the
// check before the flash) ask here, so they all decide alike.
#include <cstdint>

#include "run/update_state.h"

namespace quorel {

// Whether the run writes the settings given with --restore-config instead of the unit's own.
bool RestoringSettings(const UpdateState& s);

// Whether the run reads the whole configuration region: an update when it converts the
// records, --identify also for a copy; never with --restore-config.
bool ReadsConfigRegion(const UpdateState& s);

// Whether the run writes settings back: a conversion of the unit's own, or a restore.
bool WritesSettings(const UpdateState& s);

// Where the write-back puts converted record i of the given size, as an offset from the
// region's start, and as a unit address.
uint32_t RecordOffsetInRegion(const ConfigReadout& converted, uint32_t i, uint32_t size);
uint32_t ConfigRecordAddress(const UpdateState& s, uint32_t i, uint32_t size);

// Whether the download also sends the second image to a unit of this release-table row (row 0
// stands for an unidentified unit): when its release is older than a fixed one for the
// payload's model.
bool SendsHwImage(const FirmwarePayload& payload, uint32_t releaseRow);

}  // namespace quorel
