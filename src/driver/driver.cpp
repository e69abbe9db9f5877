#include "driver/driver.h"

#include <cstring>
#include <string>

#include "phases/config_copy.h"
#include "phases/config_phase.h"
#include "phases/connection.h"
#include "phases/download.h"
#include "phases/flash.h"
#include "phases/identification.h"
#include "phases/identify_report.h"
#include "phases/verify.h"
#include "protocol/protocol.h"
#include "serial/trace.h"

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

// A long option given as "NAME VALUE" or "NAME=VALUE": true when arg is that option, with
// *value the value (null when it is missing; the separate form then takes the next argument).
bool LongOption(const char* name, int argc, const char* const* argv, int* i, const char** value) {
  const char* arg = argv[*i];
  const size_t length = std::strlen(name);
  if (std::strncmp(arg, name, length) != 0) return false;
  if (arg[length] == '=') {
    *value = arg[length + 1] != '\0' ? arg + length + 1 : nullptr;
  } else if (arg[length] == '\0') {
    *value = *i + 1 < argc ? argv[++*i] : nullptr;
  } else {
    return false;
  }
  return true;
}

// How the help names this platform's serial devices.
#ifdef _WIN32
#define QUOREL_PORT_EXAMPLE "COM12"
#define QUOREL_PORT_HELP                                                            \
  "  --port DEVICE  the serial port the unit is on, for example COM12 (any COMn;\n" \
  "                 --list-ports shows them)\n"                                      \
  "  -cX            serial port COMX, X from 1 to 4; default\n"
#else
#define QUOREL_PORT_EXAMPLE "/dev/ttyUSB0"
#define QUOREL_PORT_HELP                                                              \
  "  --port DEVICE  the serial device the unit is on, for example /dev/ttyUSB0 or a\n" \
  "                 /dev/serial/by-id/ link (--list-ports shows them)\n"              \
  "  -cX            serial port COMX, X from 1 to 4 (/dev/ttyS0 to /dev/ttyS3); default\n"
#endif

void PrintHelp(UpdateState& s) {
  Print(s.console,
        "Usage: quorel-update [--port DEVICE | -cX] [-sX] [--fast] [--trace FILE]\n"
        "                     [--identify] [--save-config FILE]\n"
        "       quorel-update --list-ports | --help | --version\n"
        "\n"
        "Updates a %s unit to firmware %06x over a serial line. First put the unit in\n"
        "its update mode from the remote: 'menu',0,9,3,1.\n"
        "\n"
        QUOREL_PORT_HELP
        "                 COM1. Between -cX and --port the later one counts.\n"
        "  -sX            line speed: 0 = 28800 (default), 1 = 14400, 2 = 9600, 3 = 4800,\n"
        "                 4 = 2400 bit/s; slower speeds are tried when the unit does not answer\n"
        "  --fast         read each reply as soon as it is complete rather than at the next\n"
        "                 40 ms check, and ask a USB adapter for low latency\n"
        "  --trace FILE   write a record of the run (every byte on the line, every wait, the\n"
        "                 console text) to FILE, for support\n"
        "  --identify     only say what the unit runs and what an update would do (the\n"
        "                 configuration work, the second image, the blocks, the estimated\n"
        "                 duration); nothing is written to the unit and nothing is asked\n"
        "  --save-config FILE\n"
        "                 save the unit's configuration as read, before it is converted, in\n"
        "                 FILE (byte k from unit address 0x4000 + k) with a description in\n"
        "                 FILE.txt; with --identify the configuration is read for it\n"
        "  --list-ports   list the serial ports of this machine\n"
        "  --help         this text\n"
        "  --version      the updater's version and the firmware it carries\n"
        "\n"
        "Exit status:\n"
        "  1    the update completed; or the unit is of the other model and was refused;\n"
        "       or you declined at the (y/n) question; or, with --identify, the unit was\n"
        "       identified (known or not)\n"
        "  0    a bad option; no answer from the unit; no working line speed; a port that\n"
        "       could not be set; a block that never verified (the unit was not flashed)\n"
        "  130  interrupted (Ctrl-C): the unit is told to leave its update mode\n",
        ProductName(s.payload.productKind), s.payload.releaseCode);
}

void PrintVersion(UpdateState& s) {
  const uint32_t codeChecksum =
      BlockChecksum(s.payload.SwImage + kCodeRegionStart, kCodeRegionLength);
  Print(s.console, "quorel-update %s\nfirmware: %s release %06x, code-region checksum %x\n",
        kUpdaterVersion, ProductName(s.payload.productKind), s.payload.releaseCode,
        codeChecksum);
}

// --help, --version and --list-ports answer at once, wherever they stand: no banner, no key
// wait. Returns true when one of them was there (and has answered).
bool AnswerInfoOption(UpdateState& s, int argc, const char* const* argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0) {
      PrintHelp(s);
    } else if (std::strcmp(argv[i], "--version") == 0) {
      PrintVersion(s);
    } else if (std::strcmp(argv[i], "--list-ports") == 0) {
      Print(s.console, "%s", s.port.devices().ListPorts().c_str());
    } else {
      continue;
    }
    return true;
  }
  return false;
}

// Starts the trace the command line asked for, or drops what the trace held. False (with the
// console told why) when the file cannot be written.
bool StartTrace(UpdateState& s) {
  if (s.trace == nullptr) return true;
  if (s.tracePath.empty()) {
    s.trace->Discard();
    return true;
  }
  std::string error;
  if (s.trace->Open(s.tracePath, &error)) return true;
  Print(s.console, "Error, cannot write the trace file %s: %s\n", s.tracePath.c_str(),
        error.c_str());
  return false;
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
    const char* longValue = nullptr;
    if (arg[0] != '-') {
      s.console.Error(std::string("quorel-update: ignored \"") + arg +
                      "\": options begin with -; to choose the serial device use --port DEVICE "
                      "(see quorel-update --help)");
      continue;
    }
    if (LongOption("--port", argc, argv, &i, &longValue)) {
      if (longValue == nullptr) {
        Print(s.console, "Error, usage is --port DEVICE to set the serial device, for example "
                         "--port " QUOREL_PORT_EXAMPLE "\n");
        return false;
      }
      s.portDevice = longValue;
      continue;
    }
    if (LongOption("--trace", argc, argv, &i, &longValue)) {
      if (longValue == nullptr) {
        Print(s.console, "Error, usage is --trace FILE to write a record of the run to FILE\n");
        return false;
      }
      s.tracePath = longValue;
      continue;
    }
    // --identify and --save-config FILE (identify_report.h, config_copy.h).
    if (std::strcmp(arg, "--identify") == 0) {
      s.identifyOnly = true;
      continue;
    }
    if (LongOption("--save-config", argc, argv, &i, &longValue)) {
      if (longValue == nullptr) {
        Print(s.console, "Error, usage is --save-config FILE to save a copy of the unit's "
                         "configuration in FILE\n");
        return false;
      }
      s.saveConfigPath = longValue;
      continue;
    }
    if (std::strcmp(arg, "--fast") == 0) {  // prompt reply reads, low-latency adapter
      s.fastReplies = true;
      s.port.lowLatency = true;
      continue;
    }
    char letter = arg[1];
    char value = letter != '\0' ? arg[2] : '\0';
    if (letter == 'c') {
      if (value < '1' || value > '4') {
        Print(s.console, "Error, usage is -cX to set COM port, where X is 1-4\n");
        return false;
      }
      s.selectedPortName[3] = value;
      s.portDevice.clear();  // the later of -c and --port counts
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
  // The copy and the trace cannot share a file.
  if (!s.saveConfigPath.empty() &&
      (s.saveConfigPath == s.tracePath || s.saveConfigPath + ".txt" == s.tracePath)) {
    Print(s.console, "Error, usage is --save-config FILE and --trace FILE with different files\n");
    return false;
  }
  return true;
}

int RunUpdate(UpdateState& s, int argc, const char* const* argv) {
  if (AnswerInfoOption(s, argc, argv)) return kStatusInfo;
  PrintBanner(s);
  if (!ParseOptions(s, argc, argv)) {
    if (s.trace != nullptr) s.trace->Discard();
    return EndOfRun(s, EndRun(kStatusUsage));
  }
  if (!StartTrace(s)) return EndOfRun(s, EndRun(kStatusUsage));
  if (!CheckConfigCopyFile(s)) return EndOfRun(s, EndRun(kStatusUsage));  // --save-config
  if (!s.portDevice.empty()) s.port.devices().MapPort(s.selectedPortName, s.portDevice);

  // The road of one update. Each phase either hands on to the next or ends the run, and every
  // end, a run cut short by the user included, goes through EndOfRun.
  PhaseResult result = NegotiateConnection(s);
  if (!result.goOn) return EndOfRun(s, result);
  GreetUnit(s);
  if (RunInterrupted()) return EndOfRun(s, kInterruptedRun);
  if (PortLost(s)) return EndOfRun(s, EndRun(kStatusFailed));
  // --identify: the report in place of the update.
  if (s.identifyOnly) return EndOfRun(s, IdentifyAndReport(s));

  result = IdentifyUnit(s);
  if (!result.goOn) return EndOfRun(s, result);
  if (RunInterrupted()) return EndOfRun(s, kInterruptedRun);

  result = ConfigPhase(s);
  if (!result.goOn) return EndOfRun(s, result);
  if (RunInterrupted()) return EndOfRun(s, kInterruptedRun);
  if (PortLost(s)) return EndOfRun(s, EndRun(kStatusFailed));

  if (s.configConversionKind == kNoConversion) {
    result = RecordConfigAreaSums(s);
    if (!result.goOn) return EndOfRun(s, result);
  }
  result = ImageDownload(s);
  if (!result.goOn) return EndOfRun(s, result);
  if (RunInterrupted()) return EndOfRun(s, kInterruptedRun);
  result = VerifyBeforeFlash(s);
  if (!result.goOn) return EndOfRun(s, result);
  if (RunInterrupted()) return EndOfRun(s, kInterruptedRun);

  return EndOfRun(s, FlashCommit(s));
}

int RunUpdateProgram(SerialDevices& devices, Clock& clock, Console& console,
                     const FirmwarePayload& payload, int argc, const char* const* argv) {
  TraceLog trace(clock);
  TracingDevices tracedDevices(devices, trace, clock);
  TracingClock tracedClock(clock, trace);
  TracingConsole tracedConsole(console, trace);
  UpdateState state(tracedDevices, tracedClock, tracedConsole, payload);
  state.trace = &trace;
  return RunUpdate(state, argc, argv);
}

}  // namespace quorel
