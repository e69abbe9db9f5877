#pragma once
// The benchmark's real runs: the shipped quorel-update against the simulated unit on a
// pseudo-terminal in real time, with its wall time, processor time and peak memory.
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "bench/bench_modelled.h"
#include "common/program_launch.h"
#include "sim/pty_unit_server.h"

namespace quorel::sim::bench {

struct RealRun {
  std::string label;
  bool paced = false;
  bool deadUnit = false;
  bool fast = false;
  bool started = false;
  std::string error;
  ProgramUsage usage;
  bool flashed = false;
  bool leftUpdateMode = false;
  std::string lastLine;  // the end of the program's console text
  std::string console;   // all of it
  // Repeats, as the unit saw them: data blocks received in full, checksum queries, "M" dumps.
  uint64_t dataBlocks = 0;
  uint64_t checksumQueries = 0;
  PtyServerStats server;
  // Dead unit: from the moment the unit fell silent until the program ended.
  bool silenceMeasured = false;
  uint64_t silentWallNs = 0;
  uint64_t silentCpuNs = 0;
};

// Runs the program at path program against the scenario's unit; deadUnit makes the unit fall
// silent in the middle of the main image; fast passes --fast.
RealRun RunReal(bool paced, bool deadUnit, bool fast, const std::string& program, int timeoutMs);
bool OutcomeAsExpected(const RealRun& r);
bool CpuGoalMet(const RealRun& r);
bool RssGoalMet(const RealRun& r);
// The path of a program in the same directory as the running one.
std::string ProgramBeside(const char* name);
// text as the inside of a JSON string.
std::string JsonText(const std::string& text);
void PrintPartB(const std::vector<RealRun>& runs, const std::string& skipped,
                const ModelledRun& modelled);
void PrintPartBJson(const std::vector<RealRun>& runs, const std::string& skipped,
                    const ModelledRun& modelled);

}  // namespace quorel::sim::bench
