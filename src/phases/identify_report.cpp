// --identify: the identification and the configuration decision of an update, and a report of
// what the update would do, from the same decisions the update takes.
#include "phases/identify_report.h"

#include "config/records.h"
#include "copies/config_copy.h"
#include "copies/saved_config.h"
#include "copies/settings_copies.h"
#include "phases/config_phase.h"
#include "phases/identification.h"
#include "phases/progress.h"
#include "protocol/protocol.h"
#include "run/pace_model.h"
#include "run/write_plan.h"

namespace quorel {

namespace {

constexpr double kNsPerSecond = 1e9;

bool SettingsFound(const UpdateState& s, SettingsState state) {
  return s.facts.settingsJudged && s.facts.settings.state == state;
}

// The state of the settings read for the conversion: their layout, or what an earlier run left.
void PrintSettingsFound(UpdateState& s) {
  if (!s.facts.settingsJudged) return;
  const SettingsState state = s.facts.settings.state;
  if (state == SettingsState::kNeverConverted) {
    const uint32_t from = s.facts.configConversionKind == kFromV1 ? kRecordV1Size : kRecordV2Size;
    Print(s.console, "\nSettings found: six records of the %s layout (%u-byte records)\n",
          ConfigLayoutName(from), from);
    return;
  }
  Print(s.console, "\nSettings found: %s\n", SettingsStateText(state));
  if (state == SettingsState::kPartlyWritten) {
    const std::vector<KeptCopy> copies = KeptCopiesOfUnit(s);
    if (!copies.empty()) PrintRestoreCommands(s, copies);
  }
}

void PrintUpdatePlan(UpdateState& s) {
  const uint32_t target = TargetRecordSize(s.payload.productKind, s.payload.releaseCode);
  if (RestoringSettings(s)) {
    const uint32_t from = s.requests.restoreRecordSize;
    Print(s.console, "  configuration: the settings of %s (%s layout) written back%s%s%s\n",
          s.options.restoreConfigPath.c_str(), ConfigLayoutName(from),
          from != target ? ", converted to the " : "",
          from != target ? ConfigLayoutName(target) : "", from != target ? " layout" : "");
  } else if (SettingsFound(s, SettingsState::kConverted)) {
    Print(s.console, "  configuration: left as it is (already converted by an earlier run)\n");
  } else if (SettingsFound(s, SettingsState::kPartlyWritten)) {
    Print(s.console, "  configuration: nothing; it would stop before writing anything, the "
                     "settings being partly written\n");
  } else if (s.facts.configConversionKind == kNoConversion) {
    Print(s.console, "  configuration: left as it is\n");
  } else {
    const uint32_t from = s.facts.configConversionKind == kFromV1 ? kRecordV1Size : kRecordV2Size;
    Print(s.console,
          "  configuration: converted from the %s layout (%u-byte records) to the %s layout "
          "(%u-byte records)\n",
          ConfigLayoutName(from), from, ConfigLayoutName(target), target);
  }
  const bool hwImage = SendsHwImage(s.payload, s.facts.releaseRow);
  Print(s.console, "  second image: %s\n", hwImage ? "sent" : "not sent");

  const UpdatePlan plan = PlanOfUpdate(s, hwImage);
  PaceFloor paced(plan.firstContactSpeed);
  PlanFullUpdate(plan, paced);
  PaceFloor fast(plan.firstContactSpeed, true);
  PlanFullUpdate(plan, fast);
  Print(s.console, "  blocks written: %u\n",
        static_cast<unsigned>(paced.parts().blocksWritten));
  Print(s.console, "  duration: about %.1f s at %u bit/s, %.1f s with --fast\n",
        static_cast<double>(paced.parts().endNs) / kNsPerSecond, s.facts.negotiatedSpeed,
        static_cast<double>(fast.parts().endNs) / kNsPerSecond);
}

}  // namespace

PhaseResult IdentifyAndReport(UpdateState& s) {
  QueryUnitIdentity(s);
  if (CancelRequested()) return kInterruptedRun;
  const FirmwarePayload& payload = s.payload;
  const ReleaseTable& table = payload.releaseTable;
  const UnitVerdict verdict = JudgeUnit(payload, s.facts.releaseRow);
  Print(s.console, "Unit: %s\n", UnitDescription(s).c_str());
  const char* const model = ModelName(payload.productKind);
  if (verdict == UnitVerdict::kOtherModel) {
    Print(s.console, "An update by this build would refuse it: this firmware is for a %s\n",
          model);
    NoteNothingToSave(s);
    return EndRun(kStatusIdentified);
  }

  // The configuration decision, the format check and the readout for a copy, as in an update.
  PhaseResult read = ReadOutConfig(s);
  if (!read.goOn) return read;
  PrintSettingsFound(s);
  if (s.facts.unitUnidentified && !RestoringSettings(s) && !s.facts.settingsJudged) {
    const uint32_t layout = ConfigLayoutFound(s);
    if (layout == 0) {
      Print(s.console, "Configuration layout found: none recognised\n");
    } else {
      Print(s.console, "Configuration layout found: %s (%u-byte records)\n",
            ConfigLayoutName(layout), layout);
    }
  }

  if (verdict == UnitVerdict::kOlderRelease) {
    Print(s.console, "An update by this build (%s %06x) would:\n", model, payload.releaseCode);
  } else {
    if (verdict == UnitVerdict::kUpToDate) {
      const ReleaseCode release = table.code[s.facts.releaseRow];
      Print(s.console,
            release == payload.releaseCode
                ? "Up to date: the unit runs this build's release %06x\n"
                : "Up to date: the unit runs a newer release than this build's %06x\n",
            payload.releaseCode);
    }
    Print(s.console,
          "An update by this build (%s %06x) would ask (y/n) first; answered y, it would:\n",
          model, payload.releaseCode);
  }
  PrintUpdatePlan(s);
  Print(s.console, "Nothing was written to the unit.\n");
  return EndRun(kStatusIdentified);
}

}  // namespace quorel
