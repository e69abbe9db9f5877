#include "driver/options.h"

#include <cstring>
#include <string>

#include "driver/driver.h"
#include "platform/platform.h"
#include "os/state_folder.h"
#include "protocol/protocol.h"

namespace quorel {

namespace {

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

void PrintHelp(Console& console, const FirmwarePayload& payload) {
  Print(console,
        "Usage: quorel-update [--port DEVICE | -cX] [-sX] [--fast] [--trace FILE]\n"
        "                     [--identify] [--save-config FILE] [--restore-config FILE]\n"
        "       quorel-update --list-ports | --help | --version\n"
        "\n"
        "Updates a %s unit to firmware %06x over a serial line. First put the unit in\n"
        "its update mode from the remote: 'menu',0,9,3,1.\n"
        "\n"
        "%s"
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
        "  --restore-config FILE\n"
        "                 update with the settings saved in FILE (by --save-config or the\n"
        "                 automatic copy) instead of the unit's own: they are converted to\n"
        "                 this firmware's layout and written back; for a unit already on\n"
        "                 this release, answer y to put them back\n"
        "  --list-ports   list the serial ports of this machine\n"
        "  --help         this text\n"
        "  --version      the updater's version and the firmware it carries\n"
        "\n"
        "Exit status:\n"
        "  1    the update completed; or the unit is of the other model and was refused;\n"
        "       or you declined at the (y/n) question; or, with --identify, the unit was\n"
        "       identified (known or not)\n"
        "  0    a bad option; no answer from the unit; no working line speed; a port that\n"
        "       could not be set; a block that never verified; settings found partly\n"
        "       written by an earlier run (the copies to restore from are listed); in each\n"
        "       the unit was not flashed\n"
        "  130  interrupted (Ctrl-C): the unit is told to leave its update mode; while the\n"
        "       settings are written back they are finished first (Ctrl-C twice: at once)\n"
        "\n"
        "Before it converts the unit's settings, an update without --save-config keeps a\n"
        "copy of them in\n"
        "  %s\n",
        ProductName(payload.productKind), payload.releaseCode, kPortHelp, kCopyFolderHelp);
}

void PrintVersion(Console& console, const FirmwarePayload& payload) {
  const uint32_t codeChecksum =
      BlockChecksum(payload.SwImage + kCodeRegionStart, kCodeRegionLength);
  Print(console, "quorel-update %s\nfirmware: %s release %06x, code-region checksum %x\n",
        kUpdaterVersion, ProductName(payload.productKind), payload.releaseCode,
        codeChecksum);
}

}  // namespace

bool AnswerInfoOption(Console& console, SerialDevices& devices, const FirmwarePayload& payload,
                      int argc, const char* const* argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0) {
      PrintHelp(console, payload);
    } else if (std::strcmp(argv[i], "--version") == 0) {
      PrintVersion(console, payload);
    } else if (std::strcmp(argv[i], "--list-ports") == 0) {
      Print(console, "%s", devices.ListPorts().c_str());
    } else {
      continue;
    }
    return true;
  }
  return false;
}


namespace {

enum class OptionRead { kNotThis, kTaken, kBad };

// The long options that take a value: the field it goes to, and the usage line printed when it
// is missing (followed by the example, when there is one).
OptionRead ReadValueOption(RunOptions& options, Console& console, int argc,
                           const char* const* argv, int* i) {
  struct ValueOption {
    const char* name;
    std::string RunOptions::*field;
    const char* usage;
    const char* example;
  };
  static const ValueOption kValueOptions[] = {
      {"--port", &RunOptions::portDevice,
       "Error, usage is --port DEVICE to set the serial device, for example --port ", kPortExample},
      {"--trace", &RunOptions::tracePath,
       "Error, usage is --trace FILE to write a record of the run to FILE", ""},
      {"--save-config", &RunOptions::saveConfigPath,
       "Error, usage is --save-config FILE to save a copy of the unit's configuration in FILE", ""},
      {"--restore-config", &RunOptions::restoreConfigPath,
       "Error, usage is --restore-config FILE to write the settings saved in FILE to the unit", ""},
  };
  for (const ValueOption& option : kValueOptions) {
    const char* value = nullptr;
    if (!LongOption(option.name, argc, argv, i, &value)) continue;
    if (value == nullptr) {
      Print(console, "%s%s\n", option.usage, option.example);
      return OptionRead::kBad;
    }
    options.*option.field = value;
    return OptionRead::kTaken;
  }
  return OptionRead::kNotThis;
}

// The short options -cX and -sX; false (having printed the usage) for a bad one.
bool ReadShortOption(RunOptions& options, Console& console, const char* arg) {
  char letter = arg[1];
  char value = letter != '\0' ? arg[2] : '\0';
  if (letter == 'c') {
    if (value < '1' || value > '4') {
      Print(console, "Error, usage is -cX to set COM port, where X is 1-4\n");
      return false;
    }
    options.selectedPortName[3] = value;
    options.portDevice.clear();  // the later of -c and --port counts
  } else if (letter == 's') {
    if (value < '0' || value > '4') {
      Print(console,
            "Error, usage is -sX to set RS232 port speed, where X is 0(fastest) to 4(slowest)\n");
      return false;
    }
    options.wantedSpeed = kSpeedLadder[value - '0'];
  } else {
    Print(console, "%s :Unrecognized option\n", arg);
    return false;
  }
  return true;
}

}  // namespace

bool ParseOptions(RunOptions& options, Console& console, int argc, const char* const* argv) {
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (arg[0] != '-') {
      console.Error(std::string("quorel-update: ignored \"") + arg +
                      "\": options begin with -; to choose the serial device use --port DEVICE "
                      "(see quorel-update --help)");
      continue;
    }
    const OptionRead read = ReadValueOption(options, console, argc, argv, &i);
    if (read == OptionRead::kBad) return false;
    if (read == OptionRead::kTaken) continue;
    if (std::strcmp(arg, "--identify") == 0) {
      options.identifyOnly = true;
    } else if (std::strcmp(arg, "--fast") == 0) {  // prompt reply reads, low-latency adapter
      options.fastReplies = true;
    } else if (!ReadShortOption(options, console, arg)) {
      return false;
    }
  }
  // The copy and the trace cannot share a file.
  if (!options.saveConfigPath.empty() && (options.saveConfigPath == options.tracePath ||
                                          options.saveConfigPath + ".txt" == options.tracePath)) {
    Print(console, "Error, usage is --save-config FILE and --trace FILE with different files\n");
    return false;
  }
  return true;
}

}  // namespace quorel
