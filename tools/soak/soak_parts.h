#pragma once
// The soak's own parts, shared by its files: the rig one seed runs on, the random draw, what
// the draw decided that the judge needs again, and the judge. soak.cpp runs a seed with them.
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/scripted_console.h"
#include "payload/payload.h"
#include "sim/simulated_unit.h"
#include "soak/soak.h"
#include "common/text_format.h"
#include "common/updater_tap.h"
#include "sim/virtual_clock.h"
#include "sim/virtual_line.h"
#include "run/update_state.h"

namespace quorel::sim {

struct SoakRig {
  VirtualClock clock;
  SimulatedUnit unit;
  VirtualSerialDevices devices{unit, clock};
  UpdaterTap tap{devices};
  ScriptedConsole console;
  FirmwarePayload payload = CompiledPayload();
};

// splitmix64: small, fast, and the same on every platform (unlike the standard distributions).
class SoakRandom {
 public:
  explicit SoakRandom(uint64_t seed) : state_(seed) {}
  uint64_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  uint32_t Below(uint32_t bound) { return bound == 0 ? 0 : static_cast<uint32_t>(Next() % bound); }
  double Unit() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }
  bool Chance(double p) { return Unit() < p; }
  // Log-uniform between low and high.
  double LogUniform(double low, double high) {
    double a = std::log10(low);
    double b = std::log10(high);
    return std::pow(10.0, a + (b - a) * Unit());
  }

 private:
  uint64_t state_;
};

// How the unit's configuration region is laid out.
enum class SoakLayout { kV1, kV2, kV3, kErased, kZero };

// Everything drawn for one seed that the judge needs again.
struct SoakDraw {
  SoakLayout layout = SoakLayout::kZero;
  uint32_t trueChecksum = 0;
  std::vector<uint8_t> initialArea;  // unit 0x4000..0x7FFF before the run
  bool portVanishes = false;
};

// soak_scenario.cpp: the payload, the unit (release, old firmware, configuration), the command
// line and keys, then the faults (DrawSoakFaults), all from the seed.
SoakDraw DrawSoakScenario(uint64_t seed, const SoakOptions& options, SoakRig& rig,
                          SoakScenario& scenario, SoakOutcome& outcome);
// soak_faults.cpp: damage on the line in both directions and the unit's own faults, drawn on
// from the scenario's random stream; appends their description to text.
void DrawSoakFaults(uint64_t seed, const SoakOptions& options, SoakRandom& random, SoakRig& rig,
                    SoakDraw& drawn, SoakOutcome& outcome, std::string& text);

// What the run read of the configuration, caught from the updater's buffer at the moments its
// wire traffic marks (nullptr when the moment never came).
struct SoakReads {
  const ConfigReadout* readoutAtK = nullptr;
  const ConfigReadout* formatRead = nullptr;
};

// soak_judge.cpp: judges a finished run from the outside, filling the outcome's ending, its
// protocol-limit counts and its violations.
void JudgeSoakRun(const SoakOptions& options, SoakRig& rig, const SoakDraw& drawn,
                  const UpdateState& state, const SoakReads& reads, SoakOutcome& outcome);

}  // namespace quorel::sim
