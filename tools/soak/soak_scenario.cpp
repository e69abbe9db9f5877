// The soak's scenario for one seed: the payload, the unit's release, old firmware and
// configuration, the command line and the keys; then the faults (soak_faults.cpp).
#include <cinttypes>
#include <functional>
#include <string>
#include <vector>

#include "common/expected_run.h"
#include "soak/soak_parts.h"

namespace quorel::sim {

namespace {

const char* LayoutName(SoakLayout layout) {
  switch (layout) {
    case SoakLayout::kV1:
      return "v1 records";
    case SoakLayout::kV2:
      return "v2 records";
    case SoakLayout::kV3:
      return "v3 records";
    case SoakLayout::kErased:
      return "erased config";
    case SoakLayout::kZero:
      return "zero config";
  }
  return "?";
}

uint32_t LayoutRecordSize(SoakLayout layout) {
  switch (layout) {
    case SoakLayout::kV1:
      return expected::kRecordV1;
    case SoakLayout::kV2:
      return expected::kRecordV2;
    case SoakLayout::kV3:
      return expected::kRecordV3;
    default:
      return 0;
  }
}

// The layout a unit of that model keeps on that release.
SoakLayout LayoutOfRelease(ProductKind unitKind, ReleaseCode code) {
  switch (expected::RecordSizeOf(unitKind, code)) {
    case expected::kRecordV1:
      return SoakLayout::kV1;
    case expected::kRecordV2:
      return SoakLayout::kV2;
    default:
      return SoakLayout::kV3;
  }
}

// The rows the table's first-match lookup can find, of those wanted.
std::vector<uint32_t> FindableRows(const ReleaseTable& table,
                                   const std::function<bool(uint32_t row)>& wanted) {
  std::vector<uint32_t> rows;
  for (uint32_t row = 0; row < table.rows; ++row) {
    if (expected::FirstRow(table, table.checksum[row]) == row && wanted(row)) rows.push_back(row);
  }
  return rows;
}

// The unit's old firmware: bytes unlike the payload's over every range the run writes.
void FillOldFirmware(SoakRandom& random, std::vector<uint8_t>& memory) {
  for (uint32_t a = 0; a < expected::kMainFirst.end; ++a)
    memory[a] = static_cast<uint8_t>(random.Next());
  for (uint32_t a = expected::kMainSecond.start; a < expected::kMainSecond.end; ++a)
    memory[a] = static_cast<uint8_t>(random.Next());
  for (uint32_t a = expected::kSecondImage.start; a < expected::kSecondImage.end; ++a)
    memory[a] = static_cast<uint8_t>(random.Next());
}

// An older release of the payload's model: the configuration work is chosen first so that
// each kind comes up often.
void DrawOlderUnit(SoakRandom& random, const FirmwarePayload& payload, SoakDraw& drawn,
                   std::string& text) {
  const ReleaseTable& table = payload.releaseTable;
  const ProductKind model = payload.productKind;
  const int work = static_cast<int>(random.Below(3));
  std::vector<uint32_t> rows = FindableRows(table, [&](uint32_t row) {
    ReleaseCode code = table.code[row];
    if (table.kind[row] != model || !expected::Older(code, payload.releaseCode)) return false;
    SoakLayout layout = LayoutOfRelease(model, code);
    return work == 0   ? layout == SoakLayout::kV1
           : work == 1 ? layout == SoakLayout::kV2
                       : layout == SoakLayout::kV3;
  });
  if (rows.empty()) {
    rows = FindableRows(table, [&](uint32_t row) {
      return table.kind[row] == model && expected::Older(table.code[row], payload.releaseCode);
    });
  }
  const uint32_t row = rows[random.Below(static_cast<uint32_t>(rows.size()))];
  drawn.trueChecksum = table.checksum[row];
  drawn.layout = LayoutOfRelease(model, table.code[row]);
  text += Format(", unit row %u (%s %06x)", row, ProductName(model), table.code[row]);
}

// A unit of the payload's model that is up to date. Returns its owner's answer.
char DrawUpToDateUnit(SoakRandom& random, const FirmwarePayload& payload, SoakDraw& drawn,
                      std::string& text) {
  const ReleaseTable& table = payload.releaseTable;
  const ProductKind model = payload.productKind;
  std::vector<uint32_t> rows = FindableRows(table, [&](uint32_t row) {
    return table.kind[row] == model && !expected::Older(table.code[row], payload.releaseCode);
  });
  const uint32_t row = rows[random.Below(static_cast<uint32_t>(rows.size()))];
  drawn.trueChecksum = table.checksum[row];
  drawn.layout = LayoutOfRelease(model, table.code[row]);
  const char answer = random.Chance(0.7) ? 'y' : 'n';
  text += Format(", up-to-date unit row %u (%06x), answers %c", row, table.code[row], answer);
  return answer;
}

// A unit of the other model.
void DrawOtherModelUnit(SoakRandom& random, const FirmwarePayload& payload, SoakDraw& drawn,
                        std::string& text) {
  const ReleaseTable& table = payload.releaseTable;
  const ProductKind model = payload.productKind;
  std::vector<uint32_t> rows =
      FindableRows(table, [&](uint32_t row) { return table.kind[row] != model; });
  const uint32_t row = rows[random.Below(static_cast<uint32_t>(rows.size()))];
  drawn.trueChecksum = table.checksum[row];
  drawn.layout = LayoutOfRelease(table.kind[row], table.code[row]);
  text += Format(", other-model unit row %u (%06x)", row, table.code[row]);
}

// A unit no row identifies, its configuration in any layout or none. Returns its owner's
// answer.
char DrawUnidentifiedUnit(SoakRandom& random, const ReleaseTable& table, SoakDraw& drawn,
                          std::string& text) {
  do {
    drawn.trueChecksum = 0x300000 + random.Below(0x300000);
  } while (expected::FirstRow(table, drawn.trueChecksum) != table.rows);
  const SoakLayout layouts[] = {SoakLayout::kV1, SoakLayout::kV2, SoakLayout::kV3,
                                SoakLayout::kErased, SoakLayout::kZero};
  drawn.layout = layouts[random.Below(5)];
  const char answer = random.Chance(0.9) ? 'y' : 'n';
  text += Format(", unidentified unit (csum %x), answers %c", drawn.trueChecksum, answer);
  return answer;
}

// The configuration records, then the code region whose sum identifies the firmware (the
// newest layout reaches past 0x8000, into the code region).
void WriteConfiguration(SoakRandom& random, SimulatedUnit& unit, SoakDraw& drawn,
                        std::string& text) {
  std::vector<uint8_t>& memory = unit.memory();
  const uint32_t recordSize = LayoutRecordSize(drawn.layout);
  if (recordSize != 0) {
    unit.WriteConfigRecords(recordSize, static_cast<uint32_t>(random.Next()), true);
    // A last record that starts with ':' goes to the fourth record's place in the newest layout.
    if (recordSize != expected::kRecordV3 && random.Chance(0.3)) {
      memory[expected::kConfigBase + 5 * recordSize] = expected::kMovedRecordMark;
      text += ", record 5 marked";
    }
  } else {
    unit.FillConfigRegion(drawn.layout == SoakLayout::kErased ? 0xFF : 0x00);
  }
  unit.SetCodeRegionChecksum(drawn.trueChecksum);
  drawn.initialArea.assign(memory.begin() + expected::kConfigBase,
                           memory.begin() + expected::kConfigEnd);
}

// Command line and keys: the answer to a question, then the key at the end.
void DrawCommandLine(SoakRandom& random, char answer, SoakScenario& scenario, std::string& text) {
  const uint32_t speedChoice = random.Below(7);
  if (speedChoice < 5) scenario.args.push_back("-s" + std::to_string(speedChoice));
  if (random.Chance(0.1)) scenario.args.insert(scenario.args.begin(), "-c1");
  scenario.keys = std::string(1, answer) + "q";
  for (const std::string& arg : scenario.args) text += " " + arg;
}

}  // namespace

SoakDraw DrawSoakScenario(uint64_t seed, const SoakOptions& options, SoakRig& rig,
                          SoakScenario& scenario, SoakOutcome& outcome) {
  SoakRandom random(seed * 0x2545F4914F6CDD1Dull + 0x3C6EF372FE94F82Bull);
  SoakDraw drawn;
  FirmwarePayload& payload = rig.payload;
  std::string text;

  // The payload: the compiled-in Pro release, or the same release built for the base model.
  scenario.proPayload = !random.Chance(0.25);
  payload.productKind = scenario.proPayload ? kProModel : kBaseModel;
  text += scenario.proPayload ? "pro payload" : "base payload";

  FillOldFirmware(random, rig.unit.memory());

  // The unit: an older release of the payload's model (mostly), one that is up to date, one of
  // the other model, or one that no row identifies.
  const double pick = random.Unit();
  char answer = 'y';
  if (pick < 0.58) {
    DrawOlderUnit(random, payload, drawn, text);
  } else if (pick < 0.63) {
    answer = DrawUpToDateUnit(random, payload, drawn, text);
  } else if (pick < 0.67) {
    DrawOtherModelUnit(random, payload, drawn, text);
  } else {
    answer = DrawUnidentifiedUnit(random, payload.releaseTable, drawn, text);
  }
  text += Format(", %s", LayoutName(drawn.layout));

  WriteConfiguration(random, rig.unit, drawn, text);
  DrawCommandLine(random, answer, scenario, text);
  DrawSoakFaults(seed, options, random, rig, drawn, outcome, text);
  scenario.description = text;
  return drawn;
}

}  // namespace quorel::sim
