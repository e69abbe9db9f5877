// The soak's judge: a finished run seen from the outside, against expectations of its own
// (sim/expected_run.h), never the updater's functions. Every run ends on the key prompt with a
// status of the program; a flash comes only after every block the run had to write went out
// with the right bytes and verified; the unit then holds the payload and the records converted
// from what it held; a difference counts as one of the protocol's limits only where the wire
// shows how the byte-sum exchange was defeated.
#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "common/expected_run.h"
#include "soak/soak_parts.h"

namespace quorel::sim {

namespace {

constexpr uint64_t kNsPerSecond = 1000000000;

// Why a run that did not flash ended, from the last thing it printed before the prompt.
std::string EndReason(const std::string& console) {
  struct Known {
    const char* text;
    const char* reason;
  };
  static const Known kKnown[] = {
      {"not in update mode", "no answer at 9600"},
      {"Connection cannot be made", "no working line speed"},
      {"Connection failed at check config", "no answer at 14400"},
      {"Connection failed after check config", "no answer back at the negotiated speed"},
      {"The serial port stopped working", "serial port vanished"},
      {"for the configuration read block", "configuration read block never verified"},
      {"for the configuration read check block", "configuration read check never answered"},
      {"could not be read back reliably", "configuration read never confirmed"},
      {"for the configuration write block", "configuration write block never verified"},
      {"for the main image block", "main image block never verified"},
      {"for the second image block", "second image block never verified"},
      {"for the configuration area check block", "configuration area check never answered"},
      {"for the verification block", "check before the flash never answered"},
      {"configuration area was overwritten", "configuration area overwritten on the line"},
      {"could not be confirmed in", "check before the flash never settled"},
      {"Unit ID's as", "other model refused"},
      {"Firmware not updated", "user declined"},
  };
  for (const Known& known : kKnown) {
    if (console.find(known.text) != std::string::npos) return known.reason;
  }
  size_t end = console.rfind(expected::kKeyPrompt);
  std::string head = console.substr(0, end);
  size_t start = head.rfind('\n', head.size() > 1 ? head.size() - 2 : 0);
  return "other: " + head.substr(start == std::string::npos ? 0 : start + 1);
}

// Where the unit took data blocks ("D") or served reads ("M"), from its transcript: the address
// and length it held for each.
std::multiset<std::pair<uint32_t, uint32_t>> UnitPlacements(const SimulatedUnit& unit, char which) {
  std::multiset<std::pair<uint32_t, uint32_t>> placements;
  uint32_t address = 0;
  uint32_t length = 0;
  for (const TranscriptEntry& entry : unit.transcript()) {
    const std::string& c = entry.command;
    if (c.size() == 7 && c[0] == 'A') address = HexArgument(c) & (SimulatedUnit::kMemorySize - 1);
    if (c.size() == 7 && c[0] == 'L') length = HexArgument(c);
    if (which == 'D' && c.compare(0, 2, "D[") == 0) placements.insert({address, length});
    if (which == 'M' && c == "M") placements.insert({address, length});
  }
  return placements;
}

// Judges one written block against the unit's memory: counted as one of the protocol's limits
// when the wire shows how it got past the checksum, otherwise a violation.
struct BlockJudge {
  const SimulatedUnit& unit;
  bool placementsDiffer;  // the unit took data at places or counts the updater did not send
  bool lineDamaged;       // the line damaged bytes during the run
  SoakOutcome& outcome;

  void Check(uint32_t address, uint32_t span, const uint8_t* wanted, const char* what) {
    if (span == 0) return;
    const uint8_t* held = unit.memory().data() + address;
    if (std::memcmp(held, wanted, span) == 0) return;
    const uint32_t heldSum = expected::ByteSum(held, span);
    const uint32_t wantedSum = expected::ByteSum(wanted, span);
    // On a line without damage every byte must be the one sent.
    const char* limit = nullptr;
    if (lineDamaged) {
      if (heldSum == wantedSum) {
        ++outcome.byteSumDefeated;
        limit = "damaged, same byte sum";
      } else if (placementsDiffer) {
        ++outcome.landedElsewhere;
        limit = "data put elsewhere";
      } else {
        // The updater read a reply equal to the sum it sent (checked on its side), while the
        // unit holds bytes of another sum: the reply it read was not the answer to these bytes.
        ++outcome.foreignReply;
        limit = "reply not the answer to that data";
      }
    }
    if (limit != nullptr) {
      uint32_t firstDiff = 0;
      while (firstDiff < span && held[firstDiff] == wanted[firstDiff]) ++firstDiff;
      outcome.limitNotes.push_back(
          Format("%s block at %06X: %s (held sum %x, sent sum %x, "
                     "first difference at +%u)",
                     what, address, limit, heldSum, wantedSum, firstDiff));
    } else {
      outcome.violations.push_back(Format(
          "unit flashed with the %s block at %06X holding other bytes than were sent (sum %x, "
          "expected %x) on a line without damage",
          what, address, heldSum, wantedSum));
    }
  }
};

// The ending: every run ends, within its bound, on the key prompt, with a status of the
// program, its port closed; X last when it gave up on a unit that answered; the flash command
// last when it flashed. Returns whether the run sent the flash command.
bool JudgeEnding(SoakRig& rig, const SoakDraw& drawn, const UpdateState& state,
                 SoakOutcome& outcome) {
  const SimulatedUnit& unit = rig.unit;
  const std::string& console = rig.console.output();
  const std::string& written = rig.tap.written();
  auto violation = [&](const std::string& text) { outcome.violations.push_back(text); };
  if (outcome.watchdogFired) {
    violation(Format("the run had not ended after %" PRIu64 " s of virtual time",
                         outcome.boundNs / kNsPerSecond));
  }
  expected::FinishedRun finished;
  finished.status = outcome.status;
  finished.console = &console;
  finished.tap = &rig.tap;
  finished.portOpen = rig.devices.lineOpen();
  finished.unitAnswered = state.link.unitAnswered;
  finished.portGone = rig.devices.unplugged();
  expected::CheckEnding(finished, &outcome.violations);
  if (rig.console.keysRead() < 1) violation("the run ended without waiting for a key");

  // How it ended.
  const bool flashSent = rig.tap.flashSent();
  if (flashSent) {
    outcome.end = SoakEnd::kFlashed;
    outcome.flashLostOnLine = !unit.flashed();
  } else {
    outcome.end = outcome.status == 1 ? SoakEnd::kRefused : SoakEnd::kFailed;
    outcome.endReason = EndReason(console);
    if (outcome.end == SoakEnd::kRefused &&
        console.find("Firmware not updated...Exiting\n") == std::string::npos) {
      violation("exit status 1 without an update, a refusal or a decline");
    }
    if (!state.link.unitAnswered && written != "E" && !(drawn.portVanishes && written.empty())) {
      violation("sent more than the first probe to a unit that never answered");
    }
  }
  if (unit.flashed() && !flashSent) violation("the unit flashed without the flash command");
  return flashSent;
}

// A format-check read that the byte sum let through is the only thing that can change the
// decision on an unidentified unit: counts each damaged block by how; false when none was.
bool FormatReadExplains(const SoakDraw& drawn, const SoakReads& reads, SoakOutcome& outcome) {
  if (reads.formatRead == nullptr) return false;
  bool explained = false;
  for (uint32_t a = 0; a < expected::kFormatCheckBytes; a += expected::kReadBlock) {
    const uint32_t n = std::min(expected::kReadBlock, expected::kFormatCheckBytes - a);
    const uint8_t* got = reads.formatRead->data() + a;
    const uint8_t* held = drawn.initialArea.data() + a;
    if (std::memcmp(got, held, n) == 0) continue;
    explained = true;
    const bool sameSum = expected::ByteSum(got, n) == expected::ByteSum(held, n);
    if (sameSum) {
      ++outcome.byteSumDefeated;
    } else {
      ++outcome.foreignReply;
    }
    outcome.limitNotes.push_back(
        Format("format check read at %06X: %s", expected::kConfigBase + a,
                   sameSum ? "damaged, same byte sum" : "reply not the answer to that data"));
  }
  return explained;
}

// The settings: the identification, whether its reading of the unit can be trusted, and the
// conversion chosen for the unit's records. Returns the release the records convert from.
ReleaseCode JudgeSettings(const SoakOptions& options, SoakRig& rig, const SoakDraw& drawn,
                          const UpdateState& state, const SoakReads& reads,
                          SoakOutcome& outcome) {
  const FirmwarePayload& payload = rig.payload;
  const ReleaseTable& table = payload.releaseTable;
  auto violation = [&](const std::string& text) { outcome.violations.push_back(text); };
  const uint32_t trueRow = expected::FirstRow(table, drawn.trueChecksum);
  const bool unidentified = state.facts.unitUnidentified;
  outcome.misidentified = !unidentified && state.facts.unitChecksum != drawn.trueChecksum;
  if (!unidentified && !outcome.misidentified && state.facts.releaseRow != trueRow) {
    violation(Format("identified as row %u, but the unit's checksum is that of row %u",
                         state.facts.releaseRow, trueRow));
  }
  const ReleaseCode unitRelease = table.code[unidentified ? 0 : state.facts.releaseRow];

  // The conversion: from the release of the row the run found (a misidentified unit's row is
  // the wrong one, but the decision on it is still the rule's), or, for a unit no row
  // identified, from its first record as the run read it.
  int expectedKind = 0;
  if (!unidentified) {
    expectedKind = expected::KindForRelease(unitRelease, payload.productKind, payload.releaseCode);
  } else {
    const int trueKind =
        expected::KindForFirstRecord(drawn.initialArea.data(), payload.productKind);
    expectedKind = reads.formatRead != nullptr
                       ? expected::KindForFirstRecord(reads.formatRead->data(), payload.productKind)
                       : trueKind;
    if (trueKind != state.facts.configConversionKind &&
        !FormatReadExplains(drawn, reads, outcome)) {
      violation(Format("conversion kind %d, but the unit's first record calls for %d",
                           state.facts.configConversionKind, trueKind));
    }
  }
  if (options.skewExpectedKind) expectedKind = (expectedKind + 1) % 3;
  if (state.facts.configConversionKind != expectedKind) {
    violation(Format("conversion kind %d, but the unit's %s calls for %d",
                         state.facts.configConversionKind,
                         unidentified ? "first record as read" : "release", expectedKind));
  }
  return unitRelease;
}

// The unit's memory beside the blocks: the configuration area beyond the blocks written holds
// what it held; only a command damaged on the line can have put data there.
void JudgeUntouchedArea(const SoakRig& rig, const SoakDraw& drawn, const expected::Plan& plan,
                        const BlockJudge& judge, SoakOutcome& outcome) {
  std::vector<uint8_t> expectedArea = drawn.initialArea;
  std::vector<bool> planned(expectedArea.size(), false);
  for (const expected::Block& block : plan.blocks) {
    for (uint32_t i = 0; i < block.length; ++i) {
      const uint32_t at = block.address + i;
      if (at < expected::kConfigBase || at >= expected::kConfigEnd) continue;
      expectedArea[at - expected::kConfigBase] = block.data[i];
      planned[at - expected::kConfigBase] = true;
    }
  }
  const uint8_t* held = rig.unit.memory().data() + expected::kConfigBase;
  for (size_t at = 0; at < expectedArea.size(); ++at) {
    if (planned[at] || held[at] == expectedArea[at]) continue;
    if (judge.placementsDiffer && judge.lineDamaged) {
      ++outcome.landedElsewhere;
      outcome.limitNotes.push_back(Format("configuration area at %06zX: data put elsewhere",
                                              expected::kConfigBase + at));
    } else {
      outcome.violations.push_back(
          Format("the configuration area at %06zX changed where the run wrote nothing",
                 expected::kConfigBase + at));
    }
    break;
  }
}

// The configuration as read: blocks of the readout that differ from what the unit held were
// let through by the checksum; counts them by how. The unit's "M" placements against the
// updater's tell whether a damaged command made the unit serve another block.
void JudgeReadout(const SoakRig& rig, const SoakDraw& drawn, const ConfigReadout& readout,
                  bool lineDamaged, SoakOutcome& outcome) {
  const std::multiset<std::pair<uint32_t, uint32_t>> intendedReads(rig.tap.reads().begin(),
                                                                   rig.tap.reads().end());
  const bool readsElsewhere = UnitPlacements(rig.unit, 'M') != intendedReads;
  for (uint32_t a = 0; a < expected::kReadoutBytes; a += expected::kReadBlock) {
    const uint32_t n = std::min(expected::kReadBlock, expected::kReadoutBytes - a);
    const uint8_t* got = readout.data() + a;
    const uint8_t* held = drawn.initialArea.data() + a;
    if (std::memcmp(got, held, n) == 0) continue;
    const char* limit = nullptr;
    if (lineDamaged) {
      if (expected::ByteSum(got, n) == expected::ByteSum(held, n)) {
        ++outcome.byteSumDefeated;
        limit = "damaged, same byte sum";
      } else if (readsElsewhere) {
        ++outcome.landedElsewhere;
        limit = "read from elsewhere";
      } else {
        ++outcome.foreignReply;
        limit = "reply not the answer to that data";
      }
    }
    if (limit != nullptr) {
      outcome.limitNotes.push_back(
          Format("configuration read at %06X: %s (read sum %x, unit's sum %x)",
                     expected::kConfigBase + a, limit, expected::ByteSum(got, n),
                     expected::ByteSum(held, n)));
    } else {
      outcome.violations.push_back(Format(
          "the configuration block read at %06X differs from the unit's on a line without "
          "damage",
          expected::kConfigBase + a));
    }
  }
}

}  // namespace

void JudgeSoakRun(const SoakOptions& options, SoakRig& rig, const SoakDraw& drawn,
                  const UpdateState& state, const SoakReads& reads, SoakOutcome& outcome) {
  if (!JudgeEnding(rig, drawn, state, outcome)) return;

  // ---- The flash: what the run decided ----
  const ReleaseCode unitRelease = JudgeSettings(options, rig, drawn, state, reads, outcome);

  // The blocks the run had to write and the bytes each must carry: the records converted from
  // what the run read, then the image ranges.
  const int kind = state.facts.configConversionKind;
  outcome.conversionKind = kind;
  const ConfigReadout* readout = kind != 0 ? reads.readoutAtK : nullptr;
  if (kind != 0 && readout == nullptr) {
    outcome.violations.push_back("converted the configuration without reading it");
  }
  expected::Plan plan = expected::PlanRun(rig.payload, unitRelease, kind,
                                          readout != nullptr ? readout->data() : nullptr);
  if (options.skewExpectedRecords && !plan.converted.empty()) plan.converted[0x40] ^= 0x01;

  // The wire: every planned block went out with the planned bytes, and its last attempt before
  // the flash had a parsed reply equal to its sum; nothing else was sent.
  expected::CheckBlocksAtFlash(plan.blocks, rig.tap, &outcome.violations);

  // ---- The unit's side: what it will flash ----
  if (!rig.unit.flashed()) return;
  if (options.tamperAfterRun) rig.unit.memory()[0x123] ^= 0x10;

  std::multiset<std::pair<uint32_t, uint32_t>> intendedWrites;
  for (const UpdaterTap::BlockAttempt& attempt : rig.tap.attempts()) {
    intendedWrites.insert({attempt.address, attempt.length});
  }
  BlockJudge judge{rig.unit, UnitPlacements(rig.unit, 'D') != intendedWrites,
                   rig.devices.lineFaultsInjected() > 0, outcome};
  // Where blocks overlap (records placed past 0x8000 under the main image), the later write is
  // what the unit must hold.
  const std::vector<uint32_t> visible = expected::VisibleLengths(plan.blocks);
  for (size_t i = 0; i < plan.blocks.size(); ++i) {
    const expected::Block& block = plan.blocks[i];
    judge.Check(block.address, visible[i], block.data, block.config ? "configuration" : "image");
  }
  JudgeUntouchedArea(rig, drawn, plan, judge, outcome);
  if (readout != nullptr) JudgeReadout(rig, drawn, *readout, judge.lineDamaged, outcome);
}

}  // namespace quorel::sim
