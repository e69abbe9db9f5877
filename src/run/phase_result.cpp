#include "run/phase_result.h"

#include "protocol/protocol.h"

namespace quorel {

void ReportPortSpeedFailure(UpdateState& s, uint32_t speed) {
  Print(s.console,
        "\nThe serial port could not be set to %u bit/s. The unit has already been told to\n"
        "switch to %u bit/s and is waiting at that speed; nothing more can be sent to it.\n"
        "Its firmware has not been changed.\n"
        "To go on, leave and re-enter its update mode from the remote\n"
        "('exit','menu',0,9,3,1), then run the updater again",
        speed, speed);
  // A slower speed choice avoids the speed this port cannot run at.
  for (size_t option = 0; option < kSpeedLadderSteps; ++option) {
    if (kSpeedLadder[option] < speed) {
      Print(s.console, " with -s%zu (%u bit/s)", option, kSpeedLadder[option]);
      break;
    }
  }
  Print(s.console, ".\n");
  s.link.port.Close();
}

void ReportBlockFailure(UpdateState& s, const char* what, uint32_t address) {
  if (s.link.port.Lost()) {
    Print(s.console, "\nThe serial port stopped working during the %s (block at %06X).\n", what,
          address);
  } else {
    Print(s.console,
          "\nNo verified reply from the unit for the %s block at %06X after %d attempts.\n", what,
          address, kMaxBlockAttempts);
  }
  Print(s.console, "The unit was not flashed. Update exiting\n");
}

PhaseResult EndAfterBlockFailure(UpdateState& s, const char* what, uint32_t address) {
  if (CancelRequested()) return kInterruptedRun;
  ReportBlockFailure(s, what, address);
  return EndRun(kStatusFailed);
}

}  // namespace quorel
