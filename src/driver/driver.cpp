#include "update/driver.h"

#include <cstring>

#include "config/records.h"
#include "update/phases.h"

namespace quorel {

namespace {

void PrintBanner(UpdateState& s) {
  Print(s.console, "\n****************************************\n");
  Print(s.console, "* %s firmware update utility    *\n", ProductName(s.payload.productKind));
  Print(s.console, "****************************************\n");
  Print(s.console, "\nUpdater for firmware version %06x\n\n", s.payload.releaseCode);
}

int EndOfRun(UpdateState& s, int status) {
  Print(s.console, "\nPress a key to exit program");
  s.console.ReadKey();
  return status;
}

// A port that has failed for good (an unplugged adapter) ends the run before the next phase
// talks to nobody: before the identification (which could otherwise ask the user about a unit
// that is not there) and before the download.
bool PortLost(UpdateState& s) {
  if (!s.port.Lost()) return false;
  Print(s.console, "\nThe serial port stopped working. The unit was not flashed. Update exiting\n");
  s.port.Close();
  return true;
}

}  // namespace

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
  if (!ParseOptions(s, argc, argv)) return EndOfRun(s, kStatusUsage);

  // The road of one update. Each phase either hands on to the next or ends the run.
  PhaseResult result = NegotiateConnection(s);
  if (!result.goOn) return EndOfRun(s, result.status);
  GreetUnit(s);
  if (PortLost(s)) return EndOfRun(s, kStatusFailed);

  result = IdentifyUnit(s);
  if (!result.goOn) return EndOfRun(s, result.status);

  result = ConfigReadoutPhase(s);
  if (!result.goOn) return EndOfRun(s, result.status);
  if (s.configConversionKind != kNoConversion) {
    ConvertConfig(s.configReadout, s.configConversionKind, s.payload.productKind,
                  s.payload.releaseCode);
    result = WriteBackConfig(s);
    if (!result.goOn) return EndOfRun(s, result.status);
  }
  result = FinishConfigPhase(s);
  if (!result.goOn) return EndOfRun(s, result.status);
  if (PortLost(s)) return EndOfRun(s, kStatusFailed);

  result = ImageDownload(s);
  if (!result.goOn) return EndOfRun(s, result.status);

  result = FlashCommit(s);
  return EndOfRun(s, result.status);
}

}  // namespace quorel
