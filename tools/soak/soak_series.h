#pragma once
// Runs until done: one unit's memory through run after run of the real driver, each run cut
// short at a random moment by a random cause (Ctrl-C once or twice, the port lost, the unit
// gone silent, its power cut, damage on the line), until a run completes. A run gets
// `--restore-config FILE` when, and only when, the run before it told the owner to use it. The
// unit keeps its memory from one run to the next, not its update-mode state; a power cut also
// loses what was downloaded but not flashed, and now and then the settings written since the
// run began.
//
// Judged from the unit's original settings with the soak's own conversion (expected_run.h):
//   - every configuration block a run sent and asked the sum of carries one conversion of the
//     original records (a run never converts bytes an earlier run wrote);
//   - the run that flashes leaves the configuration area holding one conversion of the
//     originals, in every field the conversion defines, every record;
//   - every run ends with a status of the program, its port closed, X last when it let go of a
//     unit that answered;
//   - the series completes within two runs of its last cut.
// A difference after line damage in the series counts as the byte-sum protocol's limit, not as
// lost settings (the plain soak measures those limits).
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace quorel::sim {

enum class CutCause { kNone, kCtrlC, kCtrlCTwice, kPortLost, kSilent, kPowerCut, kLineDamage };
// Where the run was when the cut came: the phase of the last command the updater had sent.
enum class CutPhase { kConnect, kIdentify, kReadout, kWriteBack, kDownload, kFlash, kNever };

const char* CutCauseName(CutCause cause);
const char* CutPhaseName(CutPhase phase);

struct SeriesOptions {
  // Line damage, for the runs whose cause it is, drawn per kind up to this rate per byte.
  double maxLineFaultRate = 3e-4;
  // Keep every run's console text (for --verbose).
  bool keepTexts = false;
  // Self-test of the judge: expect the converted records with one byte changed, as an updater
  // whose conversion went wrong would be judged. A seed that converts must then fail.
  bool skewExpectedSettings = false;
};

struct SeriesRun {
  CutCause cause = CutCause::kNone;
  CutPhase phase = CutPhase::kNever;  // where the cut came (kNever: it never came)
  int status = -1;
  bool flashed = false;
  bool restoreGiven = false;  // the run had --restore-config
  bool saidRestore = false;   // the run told the owner to restore a copy
  bool refused = false;       // identified as the other model (the owner then power-cycles)
  std::string console;        // with keepTexts
};

struct SeriesOutcome {
  uint64_t seed = 0;
  std::string description;
  std::vector<SeriesRun> runs;
  bool completed = false;
  int conversionKind = 0;     // what the original unit calls for
  bool settingsLost = false;  // the flashed unit's settings differ, no line damage to explain it
  bool lineLimit = false;     // they differ after line damage in the series
  std::vector<std::string> violations;
};

SeriesOutcome RunSoakSeries(uint64_t seed, const SeriesOptions& options = SeriesOptions());

struct SeriesTotals {
  uint64_t seeds = 0, completed = 0, runs = 0, maxRuns = 0;
  uint64_t restoreRuns = 0, saidRestore = 0, refusedRuns = 0, settingsLost = 0, lineLimit = 0,
           violations = 0;
  std::map<int, uint64_t> byKind;
  std::map<CutCause, std::map<CutPhase, uint64_t>> cuts;
  std::vector<uint64_t> failingSeeds;
  void Add(const SeriesOutcome& o);
};

void PrintSeries(const SeriesOutcome& o, bool details);
void PrintSeriesSummary(const SeriesTotals& t, uint64_t first, double cpu);

}  // namespace quorel::sim
