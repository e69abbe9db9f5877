#pragma once
// The copies that put a unit's settings back: the automatic copy a converting run keeps in the
// user's state folder, the check of a copy given with --restore-config, and the console's list
// of the copies to restore from when a run ends with the settings partly written.
#include <cstdint>
#include <string>
#include <vector>

#include "run/phase_result.h"

namespace quorel {

// Bytes in a copy: the readout of a converting run, six records of the middle layout.
constexpr uint32_t kSettingsCopyLength = kConfigRecordCount * kRecordV2Size;

// Reads a copy and checks it: kSettingsCopyLength bytes whose six records all pass in the
// oldest or all in the middle layout. True with the bytes and that record size; otherwise
// false with *why.
bool LoadSettingsCopy(const std::string& path, std::vector<uint8_t>* bytes, uint32_t* recordSize,
                      std::string* why);

// Before the port is opened, with --restore-config: loads and checks the copy, and that this
// build's firmware can take it. False (the console told why) when the run must end.
bool CheckRestoreFile(UpdateState& s);

// An automatic copy of the unit's settings.
struct KeptCopy {
  std::string path;
  std::string savedAt;  // "2026-12-10 11:17:16 UTC"
};

// The automatic copies of this unit's model and release that can be restored, newest first.
std::vector<KeptCopy> KeptCopiesOfUnit(const UpdateState& s);

// Keeps the first length bytes of the readout as an automatic copy, under a name no earlier copy
// has, and says where on one line. When it cannot be written the run ends there, with status 0,
// nothing written to the unit.
PhaseResult KeepAutomaticCopy(UpdateState& s, uint32_t length);

// The lines that tell the owner how to put the settings back from each copy, in the order given.
void PrintRestoreCommands(UpdateState& s, const std::vector<KeptCopy>& copies);

// A run that ends after its write-back began and before it verified its last block: the settings
// are partly written, and the console names this run's copy to restore from.
void TellHowToRestoreAfterCut(UpdateState& s);

}  // namespace quorel
