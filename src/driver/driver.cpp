#include "driver/driver.h"

#include <string>

#include "copies/config_copy.h"
#include "copies/settings_copies.h"
#include "driver/options.h"
#include "os/state_folder.h"
#include "phases/config_phase.h"
#include "phases/connection.h"
#include "phases/download.h"
#include "phases/flash.h"
#include "phases/identification.h"
#include "phases/identify_report.h"
#include "phases/port_search.h"
#include "phases/progress.h"
#include "phases/verify.h"
#include "protocol/protocol.h"
#include "run/write_plan.h"
#include "trace/trace.h"

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
  if (!s.link.port.Lost()) return false;
  Print(s.console, "\nThe serial port stopped working. The unit was not flashed. Update exiting\n");
  return true;
}

// Starts the trace the command line asked for, or drops what the trace held. False (with the
// console told why) when the file cannot be written.
bool StartTrace(UpdateState& s, TraceLog* trace, const std::string& path) {
  if (trace == nullptr) return true;
  if (path.empty()) {
    trace->Discard();
    return true;
  }
  std::string error;
  if (trace->Open(path, &error)) return true;
  Print(s.console, "Error, cannot write the trace file %s: %s\n", path.c_str(), error.c_str());
  return false;
}

// What a run cut short by the user says last, once the unit has been let go.
int EndInterrupted(UpdateState& s) {
  Print(s.console, s.link.flashSent ? "\nInterrupted after the flash command was sent.\n"
                                    : "\nInterrupted. The unit was not flashed. Update exiting\n");
  return kStatusInterrupted;
}

}  // namespace

int EndOfRun(UpdateState& s, const PhaseResult& end) {
  LeaveUpdateMode(s.link);
  if (end.interrupted) {
    const int status = EndInterrupted(s);
    TellHowToRestoreAfterCut(s);
    return status;
  }
  if (end.afterLeaving != nullptr) Print(s.console, "%s", end.afterLeaving);
  TellHowToRestoreAfterCut(s);
  Print(s.console, "\nPress a key to exit program");
  s.console.ReadKey();
  // Ctrl-C at the final key ends the run at once, as anywhere else.
  if (CancelRequested()) return EndInterrupted(s);
  return end.status;
}

int RunUpdate(UpdateState& s, int argc, const char* const* argv, TraceLog* trace) {
  if (AnswerInfoOption(s.console, s.link.port.devices(), s.payload, argc, argv)) return kStatusInfo;
  PrintBanner(s);
  RunOptions& options = s.options;
  if (!ParseOptions(options, s.console, argc, argv)) {
    if (trace != nullptr) trace->Discard();
    return EndOfRun(s, EndRun(kStatusUsage));
  }
  if (!StartTrace(s, trace, options.tracePath)) return EndOfRun(s, EndRun(kStatusUsage));
  const bool findPort = options.portDevice == kAutoPort;  // --port auto
  if (!options.portDevice.empty() && !findPort)
    s.link.port.devices().MapPort(options.selectedPortName, options.portDevice);
  s.requests.copyFolder = SettingsCopyFolder(&s.requests.copyFolderError);
  if (!CheckConfigCopyFile(s) || !CheckRestoreFile(s)) return EndOfRun(s, EndRun(kStatusUsage));
  if (findPort) {
    PhaseResult found = FindUnitPort(s);
    if (!found.goOn) return EndOfRun(s, found);
  }

  // The road of one update. Each phase either hands on to the next or ends the run, and every
  // end, a run cut short by the user included, goes through EndOfRun.
  PhaseResult result = NegotiateConnection(s);
  if (!result.goOn) return EndOfRun(s, result);
  GreetUnit(s);
  if (CancelRequested()) return EndOfRun(s, kInterruptedRun);
  if (PortLost(s)) return EndOfRun(s, EndRun(kStatusFailed));
  // --identify: the report in place of the update.
  if (s.options.identifyOnly) return EndOfRun(s, IdentifyAndReport(s));

  result = IdentifyUnit(s);
  if (!result.goOn) return EndOfRun(s, result);
  if (CancelRequested()) return EndOfRun(s, kInterruptedRun);

  result = ConfigPhase(s);
  if (!result.goOn) return EndOfRun(s, result);
  if (CancelRequested()) return EndOfRun(s, kInterruptedRun);
  if (PortLost(s)) return EndOfRun(s, EndRun(kStatusFailed));

  if (!WritesSettings(s)) {
    result = RecordConfigAreaSums(s);
    if (!result.goOn) return EndOfRun(s, result);
  }
  PlanProgress(s);
  result = ImageDownload(s);
  if (!result.goOn) return EndOfRun(s, result);
  if (CancelRequested()) return EndOfRun(s, kInterruptedRun);
  result = VerifyBeforeFlash(s);
  if (!result.goOn) return EndOfRun(s, result);
  if (CancelRequested()) return EndOfRun(s, kInterruptedRun);

  return EndOfRun(s, FlashCommit(s));
}

int RunUpdateProgram(SerialDevices& devices, Clock& clock, Console& console,
                     const FirmwarePayload& payload, int argc, const char* const* argv,
                     ProgressObserver* progress) {
  TraceLog trace(clock);
  TracingDevices tracedDevices(devices, trace, clock);
  TracingClock tracedClock(clock, trace);
  TracingConsole tracedConsole(console, trace);
  UpdateState state(tracedDevices, tracedClock, tracedConsole, payload);
  state.progress = progress;
  return RunUpdate(state, argc, argv, &trace);
}

}  // namespace quorel
