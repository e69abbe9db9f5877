#pragma once
// Fault-injection soak: whole updates through the real driver against the simulated unit on the
// virtual clock, each with a scenario drawn at random from a seed (the unit's release and
// configuration, the speed option, damage on the line in both directions, replies that the unit
// garbles, loses or sends late, a unit that falls silent, speeds it misses, a port that
// vanishes). Every run is then judged from the outside:
//   - it ended, within a bound of virtual time worked out from the attempt bound (a watchdog on
//     the clock pulls the port away should a run ever pass it, so a hang fails instead of
//     hanging);
//   - the flash command went out only when the last attempt of every data block the updater
//     sent had a parsed checksum reply equal to the block's sum, and every block of every range
//     the run had to write was sent;
//   - when the unit flashed, its memory over every range written equals the payload, and its
//     configuration records equal the conversion of what it held; a difference counts as the
//     protocol's limit, not the program's, only where the wire shows how the byte-sum exchange
//     was defeated (see SoakOutcome);
//   - a run that gave up after the unit answered sent X last and closed the port; its exit
//     status is one of the program's.
// The judge's expectations are its own (sim/expected_run.h): the conversion kind from the release
// thresholds or the first record, the records from its own conversion, the blocks from the
// memory layout; never the updater's functions. The same seed always gives the same run, so a
// failing seed replays exactly. The parts: soak_scenario.cpp and soak_faults.cpp draw a seed's
// situation and faults, soak_judge.cpp judges the run, soak_report.cpp reports, this file's
// RunSoakSeed runs one seed.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/updater_tap.h"
#include "sim/virtual_line.h"

namespace quorel::sim {

// ---- Scenarios and outcomes ----

struct SoakOptions {
  // Per-byte rates of each kind of line damage are drawn up to this (log-uniformly from 1e-6);
  // one seed in twenty draws up to ten times as much, to exercise the failure paths.
  double maxLineFaultRate = 3e-4;
  // Keep the console text and the unit's transcript in the outcome (for --verbose).
  bool keepTexts = false;
  // Self-test of the judge: after the run, change one byte of the unit's memory in the first
  // range written, as a fault that no exchange verified would. A flashed run must then fail.
  bool tamperAfterRun = false;
  // Self-tests of the judge's own expectations: judge the run against a conversion kind other
  // than the one the judge works out, or against converted records with one byte changed, as
  // an updater whose decision or conversion went wrong would be judged. A flashed run (one that
  // converts, for the records) must then fail.
  bool skewExpectedKind = false;
  bool skewExpectedRecords = false;
};

enum class SoakEnd { kFlashed, kFailed, kRefused };

struct SoakScenario {
  std::string description;  // one line: the release, configuration, options and faults
  std::vector<std::string> args;
  std::string keys;
  bool proPayload = true;
  bool expectConfigWork = false;
};

struct SoakOutcome {
  uint64_t seed = 0;
  SoakScenario scenario;
  int status = -1;
  SoakEnd end = SoakEnd::kFailed;
  std::string endReason;  // for failures and refusals: the line that says why
  uint64_t virtualNs = 0;
  uint64_t boundNs = 0;
  bool watchdogFired = false;
  LineFaultCounts lineFaults;
  uint64_t unitFaultsPlanned = 0;  // checksum reply faults and stray replies in the scenario
  uint64_t dataBlocksSent = 0;     // by the updater, every attempt
  uint64_t blockRepeats = 0;

  // The protocol's limits, met on this run (counted only for runs whose unit flashed), by block
  // of the unit's memory that differs from what the updater sent and had verified:
  //   byteSumDefeated: the bytes were damaged on the line yet kept their byte sum, so the unit's
  //     reply agreed;
  //   landedElsewhere: a command damaged on the line ("A" or "L" cut short or changed, a noise
  //     byte taken for "D") put data where the updater did not send it, and the reply, which
  //     does not say which address it summed, agreed;
  //   foreignReply: the unit holds bytes of another sum, and the reply that the updater read
  //     was not the unit's answer to them: damaged on its way into the sum expected, or a late
  //     answer to an earlier attempt of the block that arrived after the input was drained.
  // misidentified: a damaged identification reply matched another row of the release table.
  uint32_t byteSumDefeated = 0;
  uint32_t landedElsewhere = 0;
  uint32_t foreignReply = 0;
  bool misidentified = false;
  // The configuration conversion a flashed run decided (0 none, 1 from the oldest layout, 2 from
  // the middle one).
  int conversionKind = 0;
  uint32_t ProtocolLimitBlocks() const { return byteSumDefeated + landedElsewhere + foreignReply; }
  // The flash command went out but did not reach the unit whole (the updater cannot know).
  bool flashLostOnLine = false;

  // One line for each block counted above: where, which limit, the sums.
  std::vector<std::string> limitNotes;

  // Broken invariants, one sentence each. Must be empty.
  std::vector<std::string> violations;

  std::string console;     // with keepTexts
  std::string transcript;  // with keepTexts
};

// Virtual time within which every run must end: the slowest accepted line speed, every reply
// wait running out, every block taking every attempt it is allowed, doubled.
uint64_t SoakTimeBoundNs();

SoakOutcome RunSoakSeed(uint64_t seed, const SoakOptions& options = SoakOptions());

// "flashed", "failed" or "refused".
const char* SoakEndName(SoakEnd end);

}  // namespace quorel::sim
