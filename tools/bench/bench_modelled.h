#pragma once
// The benchmark's modelled runs: one full update of its scenario (a QuorelPro unit on release
// 091103, configuration converted from the middle to the newest record layout, main and second
// image) through the real driver on the virtual clock, at each line speed and at both reply
// paces, set beside the floors that run/pace_model.h works out without running the updater.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "protocol/line_speeds.h"
#include "run/pace_model.h"
#include "sim/simulated_unit.h"

namespace quorel::sim::bench {

// The unit of the scenario: a Pro unit whose code region sums to this release table checksum
// (release 091103), holding six configuration records of the middle layout.
inline constexpr uint32_t kUnitChecksum = 0x4C20E2;
constexpr uint32_t kConfigSeed = 7;
constexpr double kFloorGoal = 1.02;

inline double Seconds(uint64_t ns) { return static_cast<double>(ns) / 1e9; }

inline double Ratio(uint64_t a, uint64_t b) {
  return b == 0 ? 0.0 : static_cast<double>(a) / static_cast<double>(b);
}

inline uint64_t Sum(const std::map<uint32_t, uint64_t>& bySpeed) {
  uint64_t total = 0;
  for (const auto& entry : bySpeed) total += entry.second;
  return total;
}

struct ModelledRun {
  uint32_t speed = 0;
  bool fast = false;  // --fast, set beside the prompt floor
  int status = -1;
  bool flashed = false;
  uint64_t durationNs = 0;  // virtual clock from the start to the flash command's arrival
  std::map<uint32_t, uint64_t> pcBytesAt;
  std::map<uint32_t, uint64_t> unitBytesAt;
  uint64_t pcRead = 0;
  uint64_t lostToSpeedMismatch = 0;
  uint64_t wireFloorNs = 0;
  FloorParts floor;
  size_t commands = 0;
  // Checks that the floor describes the run that was measured.
  bool commandsAgree = false;
  std::string commandDifference;
  bool bytesAgree = false;
  // Largest difference between a command's arrival in the run and in the floor.
  uint64_t largestSkewNs = 0;
  // Durations of the phases (kPhaseNames), in the run.
  std::vector<uint64_t> phaseNs;
};

inline const char* const kPhaseNames[] = {"connect",    "greet",      "identify", "cfg read",
                                          "cfg write",  "cfg end",    "main image",
                                          "second img", "verify",     "flash"};
constexpr size_t kPhases = sizeof kPhaseNames / sizeof kPhaseNames[0];

// The scenario's plan of the run at a line speed, for the floors.
UpdatePlan ScenarioPlan(uint32_t speed, const SimulatedUnit& unit);
// The scenario's run at a line speed, with --fast or without, and its floors.
ModelledRun RunModelled(uint32_t speed, bool fast);
bool GoalMet(const ModelledRun& run);
void PrintPartA(const std::vector<ModelledRun>& runs);
void PrintPartAJson(const std::vector<ModelledRun>& runs);

}  // namespace quorel::sim::bench
