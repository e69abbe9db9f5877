#pragma once
// The run's command line, read once at the start of the run into the run's RunOptions.
#include <cstdint>
#include <string>

#include "console/console.h"
#include "payload/payload.h"
#include "run/update_state.h"
#include "serial/serial_port.h"

namespace quorel {

// Reads the options. Returns true when they are all good; otherwise prints the usage message of
// the first bad one and returns false. An argument that is no option is named on standard error
// and otherwise ignored.
bool ParseOptions(RunOptions& options, Console& console, int argc, const char* const* argv);

// --help, --version and --list-ports answer at once, wherever they stand: no banner, no key
// wait. Returns true when one of them was there (and has answered).
bool AnswerInfoOption(Console& console, SerialDevices& devices, const FirmwarePayload& payload,
                      int argc, const char* const* argv);

}  // namespace quorel
