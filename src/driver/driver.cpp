#include "driver/driver.h"

#include <cstring>

#include "phases/config_phase.h"
#include "phases/connection.h"
#include "phases/download.h"
#include "phases/flash.h"
#include "phases/identification.h"
#include "protocol/protocol.h"

namespace quorel {

namespace {

void PrintBanner(UpdateState& s) {
  Print(s.console, "\n****************************************\n");
  Print(s.console, "* %s firmware update utility    *\n", ProductName(s.payload.productKind));
  Print(s.console, "****************************************\n");
  Print(s.console, "\nUpdater for firmware version %06x\n\n", s.payload.releaseCode);
}

// A port that has failed for good (an unplugged adapter) ends the run before the next phase
// talks to nobody: before the identification (which could otherwise ask the user about a unit
// that is not there) and before the download.
bool PortLost(UpdateState& s) {
  if (!s.port.Lost()) return false;
  Print(s.console, "\nThe serial port stopped working. The unit was not flashed. Update exiting\n");
  return true;
}

// What a run cut short by the user says last, once the unit has been let go.
int EndInterrupted(UpdateState& s) {
  Print(s.console, s.flashSent ? "\nInterrupted after the flash command was sent.\n"
                               : "\nInterrupted. The unit was not flashed. Update exiting\n");
  return kStatusInterrupted;
}

}  // namespace

int EndOfRun(UpdateState& s, const PhaseResult& end) {
  LeaveUpdateMode(s);
  if (end.interrupted) return EndInterrupted(s);
  if (end.afterLeaving != nullptr) Print(s.console, "%s", end.afterLeaving);
  Print(s.console, "\nPress a key to exit program");
  s.console.ReadKey();
  // Ctrl-C at the final key ends the run at once, as anywhere else.
  if (RunInterrupted()) return EndInterrupted(s);
  return end.status;
}

bool ParseOptions(UpdateState& s, int argc, const char* const* argv) {
  static const uint32_t kSpeeds[] = {28800, 14400, 9600, 4800, 2400};
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (arg[0] != '-') continue;
    char letter = arg[1];
    char value = letter != '\0' ? arg[2] : '\0';
    if (letter == 'c') {
      if (value < '1' || value > '4') {
        Print(s.console, "Error, usage is -cX to set COM port, where X is 1-4\n");
        return false;
      }
      s.selectedPortName[3] = value;
    } else if (letter == 's') {
      if (value < '0' || value > '4') {
        Print(s.console,
              "Error, usage is -sX to set RS232 port speed, where X is 0(fastest) to 4(slowest)\n");
        return false;
      }
      s.wantedSpeed = kSpeeds[value - '0'];
    } else {
      Print(s.console, "%s :Unrecognized option\n", arg);
      return false;
    }
  }
  return true;
}

int RunUpdate(UpdateState& s, int argc, const char* const* argv) {
  PrintBanner(s);
  if (!ParseOptions(s, argc, argv)) return EndOfRun(s, EndRun(kStatusUsage));

  // The road of one update. Each phase either hands on to the next or ends the run, and every
  // end, a run cut short by the user included, goes through EndOfRun.
  PhaseResult result = NegotiateConnection(s);
  if (!result.goOn) return EndOfRun(s, result);
  GreetUnit(s);
  if (RunInterrupted()) return EndOfRun(s, kInterruptedRun);
  if (PortLost(s)) return EndOfRun(s, EndRun(kStatusFailed));

  result = IdentifyUnit(s);
  if (!result.goOn) return EndOfRun(s, result);
  if (RunInterrupted()) return EndOfRun(s, kInterruptedRun);

  result = ConfigPhase(s);
  if (!result.goOn) return EndOfRun(s, result);
  if (RunInterrupted()) return EndOfRun(s, kInterruptedRun);
  if (PortLost(s)) return EndOfRun(s, EndRun(kStatusFailed));

  result = ImageDownload(s);
  if (!result.goOn) return EndOfRun(s, result);
  if (RunInterrupted()) return EndOfRun(s, kInterruptedRun);

  return EndOfRun(s, FlashCommit(s));
}

}  // namespace quorel
