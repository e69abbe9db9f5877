#pragma once
// The program's entry: banner, options, then the phases of one update over one UpdateState.
#include "update/update_state.h"

namespace quorel {

// The updater's own version, shown by --version.
constexpr char kUpdaterVersion[] = "1.1.0";

// Reads the options into the state. Returns true when they are all good; otherwise prints the
// usage message of the first bad one and returns false.
bool ParseOptions(UpdateState& s, int argc, const char* const* argv);

// Runs a whole update and returns the program's exit status. Every end of the run prints
// "\nPress a key to exit program" and waits for one key.
int RunUpdate(UpdateState& s, int argc, const char* const* argv);

}  // namespace quorel

namespace quorel {

// The shipped program's run: RunUpdate over the platform's devices, clock and console, with the
// trace (--trace) recording around them.
int RunUpdateProgram(SerialDevices& devices, Clock& clock, Console& console,
                     const FirmwarePayload& payload, int argc, const char* const* argv);

}  // namespace quorel
