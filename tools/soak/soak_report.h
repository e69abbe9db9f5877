#pragma once
// The soak's report: one line (or the details) per run, and the totals of many runs with the
// summary that quorel-soak prints.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "soak/soak.h"

namespace quorel::sim {

struct SoakTotals {
  uint64_t runs = 0;
  std::map<SoakEnd, uint64_t> ends;
  std::map<std::string, uint64_t> reasons;
  uint64_t violations = 0;
  std::vector<uint64_t> failingSeeds;
  uint64_t runsSumKept = 0, blocksSumKept = 0;
  uint64_t runsElsewhere = 0, blocksElsewhere = 0;
  uint64_t runsReply = 0, blocksReply = 0;
  uint64_t runsMisidentified = 0;
  uint64_t runsAnyLimit = 0;
  std::vector<uint64_t> limitSeeds;
  uint64_t flashLost = 0;
  double virtualSeconds = 0, maxVirtualSeconds = 0;
  uint64_t dropped = 0, flipped = 0, inserted = 0, delayed = 0, unitFaults = 0;
  uint64_t blocksSent = 0, repeats = 0;

  void Add(const SoakOutcome& o);
};

// One run: how it ended, its limits and violations; with details the scenario, the damage, the
// notes, and the console and transcript when kept.
void PrintSoakRun(const SoakOutcome& o, bool details, bool transcript);

// The summary of many runs from seed first on; cpu is the CPU time they took in seconds.
void PrintSoakSummary(const SoakTotals& t, uint64_t first, const SoakOptions& options, double cpu);

}  // namespace quorel::sim
