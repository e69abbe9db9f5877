#pragma once
// Everything one simulated update needs, wired together: a virtual clock, a simulated unit on a
// virtual line, a scripted console and a copy of the compiled-in payload (a copy, so that a test
// or the demo may change it for one session). Run() performs a whole update over these, exactly
// as the program does over the real port and terminal.
#include <memory>
#include <string>
#include <vector>

#include "console/console.h"
#include "payload/payload.h"
#include "sim/simulated_unit.h"
#include "sim/virtual_clock.h"
#include "sim/virtual_line.h"
#include "run/update_state.h"
#include "sim/scripted_console.h"

namespace quorel::sim {

struct SimSession {
  VirtualClock clock;
  SimulatedUnit unit;
  VirtualSerialDevices devices{unit, clock};
  ScriptedConsole console;
  FirmwarePayload payload = CompiledPayload();
  // The state of the last run (or of NewState), kept for its results.
  std::unique_ptr<UpdateState> state;

  // A fresh UpdateState over this session's devices, clock, console and payload, kept in state.
  // For exercising single exchanges without a whole run.
  UpdateState& NewState();

  // Replaces the console with one that answers key reads from keys (then end of input), runs a
  // whole update with the command line {"quorel-update", args...} and returns its exit status.
  // The wire is then brought up to the clock, so the unit's transcript is complete.
  int Run(std::vector<std::string> args = {}, std::string keys = "");
};

}  // namespace quorel::sim
