#include "config/settings_state.h"

#include "config/records.h"

namespace quorel {

SettingsFinding ClassifySettings(const uint8_t* readout, uint32_t readLength, uint32_t sourceSize,
                                 uint32_t targetSize) {
  SettingsFinding finding;
  bool source[kConfigRecordCount] = {};
  bool allSource = true;
  for (uint32_t r = 0; r < kConfigRecordCount; ++r) {
    source[r] = (r + 1) * sourceSize <= readLength && RecordPassesChecksum(readout + r * sourceSize, sourceSize);
    allSource = allSource && source[r];
  }
  if (allSource) {
    finding.state = SettingsState::kNeverConverted;
    return finding;
  }
  if (sourceSize == targetSize) return finding;

  // The new-layout records inside the readout: six of the middle layout, five of the newest
  // (the last one reaches beyond the bytes read).
  uint32_t judged = 0;
  while (judged < kConfigRecordCount && (judged + 1) * targetSize <= readLength) ++judged;
  uint32_t leading = 0;
  while (leading < judged && RecordPassesChecksum(readout + leading * targetSize, targetSize)) {
    ++leading;
  }
  bool anyTarget = leading > 0;
  for (uint32_t r = leading; r < judged && !anyTarget; ++r) {
    anyTarget = RecordPassesChecksum(readout + r * targetSize, targetSize);
  }
  if (judged > 0 && leading == judged) {
    finding.state = SettingsState::kConverted;
  } else if (anyTarget) {
    // Bytes that pass in the new layout are never converted again, wherever they lie.
    finding.state = SettingsState::kPartlyWritten;
    finding.recordsInNewLayout = leading;
  } else if (!source[0]) {
    bool othersSource = true;
    for (uint32_t r = 1; r < kConfigRecordCount; ++r) othersSource = othersSource && source[r];
    if (othersSource) finding.state = SettingsState::kFirstRecordCut;
  }
  return finding;
}

const char* SettingsStateText(SettingsState state) {
  switch (state) {
    case SettingsState::kConverted:
      return "already converted by an earlier run";
    case SettingsState::kPartlyWritten:
      return "partly written (an earlier run was cut short while writing them back)";
    case SettingsState::kFirstRecordCut:
      return "first record damaged, the others in the old layout";
    case SettingsState::kNeverConverted:
      return "not converted yet";
    case SettingsState::kUnrecognised:
      break;
  }
  return "not recognised (blank or damaged)";
}

}  // namespace quorel
