#pragma once
// The run's command line: what the user asked for, read once at the start of the run.
#include <cstdint>
#include <string>

#include "console/console.h"
#include "payload/payload.h"
#include "protocol/unit_link.h"
#include "serial/serial_port.h"

namespace quorel {

struct RunOptions {
  // -cX: "COM1" to "COM4".
  char selectedPortName[5] = "COM1";
  // -sX: the speed the connection starts at.
  uint32_t wantedSpeed = kDefaultSpeed;
  // --fast: prompt reply reads and a low-latency adapter.
  bool fastReplies = false;
  // --port: the device selectedPortName stands for (empty: the system's own).
  std::string portDevice;
  // --trace: the file the run's trace goes to (empty: none).
  std::string tracePath;
  // --identify: report what the unit runs and what an update would do, and write nothing.
  bool identifyOnly = false;
  // --save-config: where the configuration read goes (empty: nowhere).
  std::string saveConfigPath;
  // --restore-config: the copy whose settings the update writes (empty: the unit's own).
  std::string restoreConfigPath;
};

// Reads the options. Returns true when they are all good; otherwise prints the usage message of
// the first bad one and returns false. An argument that is no option is named on standard error
// and otherwise ignored.
bool ParseOptions(RunOptions& options, Console& console, int argc, const char* const* argv);

// --help, --version and --list-ports answer at once, wherever they stand: no banner, no key
// wait. Returns true when one of them was there (and has answered).
bool AnswerInfoOption(Console& console, SerialDevices& devices, const FirmwarePayload& payload,
                      int argc, const char* const* argv);

}  // namespace quorel
