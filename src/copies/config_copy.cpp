// The configuration copy of --save-config, from the run's facts.
#include "copies/config_copy.h"

#include <ctime>
#include <string>

#include "config/records.h"
#include "copies/saved_config.h"
#include "payload/release_code.h"

namespace quorel {

std::string UnitDescription(const UpdateState& s) {
  const ReleaseTable& table = s.payload.releaseTable;
  char text[160];
  if (s.facts.unitUnidentified || s.facts.releaseRow >= table.rows) {
    std::snprintf(text, sizeof text,
                  "not identified (code-region checksum %x is in no row of the release table)",
                  s.facts.unitChecksum);
  } else {
    std::snprintf(text, sizeof text,
                  "%s, firmware release %06x (release table row %u, code-region checksum %x)",
                  ModelName(table.kind[s.facts.releaseRow]), table.code[s.facts.releaseRow], s.facts.releaseRow,
                  s.facts.unitChecksum);
  }
  return text;
}

uint32_t ConfigLayoutFound(const UpdateState& s) {
  if (s.facts.settingsJudged) {
    // Records that an earlier run converted, or partly so.
    if (s.facts.settings.state == SettingsState::kConverted) {
      return TargetRecordSize(s.payload.productKind, s.payload.releaseCode);
    }
    if (s.facts.settings.state == SettingsState::kPartlyWritten) return 0;
  }
  if (s.facts.configConversionKind == kFromV1) return kRecordV1Size;
  if (s.facts.configConversionKind == kFromV2) return kRecordV2Size;
  if (s.facts.unitUnidentified) {
    // No conversion: the first record was not of the oldest layout; the middle one needs no
    // conversion for a base-model payload.
    return RecordPassesChecksum(s.facts.configReadout.data(), kRecordV2Size) ? kRecordV2Size : 0;
  }
  const ReleaseTable& table = s.payload.releaseTable;
  const ReleaseCode release = table.code[s.facts.releaseRow];
  if (IsOlder(release, kRecordV2Release)) return kRecordV1Size;
  return TargetRecordSize(table.kind[s.facts.releaseRow], release);
}

bool CheckConfigCopyFile(UpdateState& s) {
  std::string error;
  if (s.options.saveConfigPath.empty() || CanSaveConfig(s.options.saveConfigPath, &error)) return true;
  Print(s.console, "Error, cannot write the configuration copy %s\n", error.c_str());
  return false;
}

PhaseResult SaveConfigCopy(UpdateState& s, uint32_t length) {
  if (s.options.saveConfigPath.empty()) return kGoOn;
  SavedConfigFacts facts;
  facts.unit = UnitDescription(s);
  facts.recordSize = ConfigLayoutFound(s);
  facts.savedAt = std::time(nullptr);
  const uint8_t* bytes = s.facts.configReadout.data();
  const std::string text = SavedConfigText(bytes, length, facts);
  std::string error;
  if (!SaveConfigFiles(s.options.saveConfigPath, bytes, length, text, &error)) {
    Print(s.console,
          "\nError, cannot write the configuration copy %s\n"
          "Nothing was written to the unit. Update exiting\n",
          error.c_str());
    return EndRun(kStatusFailed);
  }
  Print(s.console, "\nConfiguration copy saved in %s (%u bytes) and %s.txt\n",
        s.options.saveConfigPath.c_str(), length, s.options.saveConfigPath.c_str());
  return kGoOn;
}

void NoteNothingToSave(UpdateState& s) {
  if (s.options.saveConfigPath.empty()) return;
  Print(s.console, "No configuration was read, so there was nothing to save in %s\n",
        s.options.saveConfigPath.c_str());
}

}  // namespace quorel
