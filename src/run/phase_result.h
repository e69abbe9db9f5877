#pragma once
// How a phase of one update hands the run back to the driver: go on with the next phase, or end
// the run. A phase that ends the run prints what it has to say first; the driver's one exit
// path then lets go of the unit (filler for a block cut short, X when the unit has answered and
// has not been told to flash, the port closed), prints the ending's text for after that, and,
// unless the user cut the run short, the key prompt and the wait for a key.
#include <cstdint>

#include "run/update_state.h"

namespace quorel {

// Exit statuses: 1 after a completed update and after the two refusals of identification;
// 0 after every other end (usage errors, connection failures, blocks that never verified);
// 130 after a run cut short by the user.
constexpr int kStatusUpdated = 1;
constexpr int kStatusRefused = 1;
constexpr int kStatusFailed = 0;
constexpr int kStatusUsage = 0;
constexpr int kStatusInterrupted = 130;
// --help, --version and --list-ports.
constexpr int kStatusInfo = 0;

struct PhaseResult {
  bool goOn;
  int status;
  // Printed once the port is closed (null: nothing).
  const char* afterLeaving;
  bool interrupted;
};
constexpr PhaseResult kGoOn{true, 0, nullptr, false};
constexpr PhaseResult EndRun(int status, const char* afterLeaving = nullptr) {
  return PhaseResult{false, status, afterLeaving, false};
}
// The user cut the run short; the phase stopped at its first look at CancelRequested().
constexpr PhaseResult kInterruptedRun{false, kStatusInterrupted, nullptr, true};

// Tells the user that the port could not be reopened at speed once the unit had been told to
// switch to it: nothing can reach the unit any more, so the console says where it waits and
// how to bring it back. Closes the port; the phase then ends the run (status 0).
void ReportPortSpeedFailure(UpdateState& s, uint32_t speed);

// Says which block never verified (or that the port stopped working) and that the unit was not
// flashed; the driver's exit path then lets go of the unit.
void ReportBlockFailure(UpdateState& s, const char* what, uint32_t address);

// The end of a phase whose block never verified: the run was cut short, or the block failure's
// message and status 0.
PhaseResult EndAfterBlockFailure(UpdateState& s, const char* what, uint32_t address);

}  // namespace quorel
