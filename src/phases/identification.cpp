// Identification: ask the unit for the checksum of its code region, look it up in the release
// table, and confirm, refuse or ask the user.
#include "phases/identification.h"

#include "payload/payload.h"
#include "payload/release_code.h"
#include "protocol/protocol.h"
#include "serial/link.h"

namespace quorel {

namespace {

constexpr uint32_t kIdentifyWaitMs = 1000;
// Shown as the unit's checksum when its reply could not be read; no code region sums this high.
constexpr uint32_t kUnreadableChecksum = 0xFFFFFFFF;

PhaseResult Decline(UpdateState& s) {
  Print(s.console, "\nFirmware not updated...Exiting\n");
  return EndRun(kStatusRefused);
}

// Asks "(y/n)"; y or Y goes on, every other key (and a closed console) declines.
bool UserConfirms(UpdateState& s) {
  Print(s.console, "Are you sure you want to run update for %s rev %06x (y/n)",
        ModelName(s.payload.productKind), s.payload.releaseCode);
  int key = s.console.ReadKey();
  return key == 'y' || key == 'Y';
}

}  // namespace

void QueryUnitIdentity(UpdateState& s) {
  Print(s.console, "\nChecking version..\n");
  SendCommand(s.link, kCmdIdentifyAddress);
  SendLengthLowerHex(s.link, kCodeRegionLength);
  uint32_t checksum = 0;
  bool readable = QueryChecksum(s.link, &checksum, kIdentifyWaitMs);
  const ReleaseTable& table = s.payload.releaseTable;
  // An unreadable reply must never be taken for a row's checksum (one row holds 0).
  s.facts.unitChecksum = readable ? checksum : kUnreadableChecksum;
  s.facts.releaseRow = readable ? FindReleaseRow(table, checksum) : table.rows;
}

UnitVerdict JudgeUnit(const FirmwarePayload& payload, uint32_t releaseRow) {
  const ReleaseTable& table = payload.releaseTable;
  if (releaseRow >= table.rows) return UnitVerdict::kUnknown;
  if (table.kind[releaseRow] != payload.productKind) return UnitVerdict::kOtherModel;
  // The unit already runs this release or a newer one: reflashing or going back is the user's
  // decision, never automatic.
  if (!IsOlder(table.code[releaseRow], payload.releaseCode)) return UnitVerdict::kUpToDate;
  return UnitVerdict::kOlderRelease;
}

PhaseResult IdentifyUnit(UpdateState& s) {
  QueryUnitIdentity(s);
  if (CancelRequested()) return kInterruptedRun;
  const ReleaseTable& table = s.payload.releaseTable;
  switch (JudgeUnit(s.payload, s.facts.releaseRow)) {
    case UnitVerdict::kOtherModel:
      Print(s.console, "Unit ID's as %s, but this firmware is for a %s (ind:%u)\n",
            ProductName(table.kind[s.facts.releaseRow]), ProductName(s.payload.productKind),
            s.facts.releaseRow);
      Print(s.console, "Firmware not updated...Exiting\n");
      return EndRun(kStatusRefused);
    case UnitVerdict::kOlderRelease:
      Print(s.console, "Unit confirmed as %s with firmware rev %06x.\nUpdate proceeding..\n\n",
            ProductName(s.payload.productKind), table.code[s.facts.releaseRow]);
      break;
    case UnitVerdict::kUpToDate:
    case UnitVerdict::kUnknown: {
      if (s.facts.releaseRow < table.rows) {
        Print(s.console, "Unit's rev is up to date (csum:%x ind:%u)\n", s.facts.unitChecksum,
              s.facts.releaseRow);
      } else {
        Print(s.console, "Could not confirm unit ID (csum=%x)\n", s.facts.unitChecksum);
      }
      const bool confirmed = UserConfirms(s);
      // Ctrl-C at the question ends the run at once; it is not a declining key.
      if (CancelRequested()) return kInterruptedRun;
      if (!confirmed) return Decline(s);
      Print(s.console, "\nUpdate proceeding..\n\n");
      break;
    }
  }
  SendCommand(s.link, kCmdConfirmed);
  return kGoOn;
}

}  // namespace quorel
