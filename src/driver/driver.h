#pragma once
// The program's entry: banner, options, then the phases of one update over one UpdateState.
#include "run/phase_result.h"
#include "run/update_state.h"
#include "quorel_version.h"
#include "trace/trace.h"

namespace quorel {

// The updater's own version, shown by --version (set in CMakeLists.txt).
constexpr char kUpdaterVersion[] = QUOREL_VERSION;

// The one exit path of a run: lets go of the unit (a data block cut short completed with filler
// bytes, X when the unit has answered and has not been told to flash, the port closed), prints
// the ending's text for after that, then "\nPress a key to exit program" and waits for a key.
// A run cut short by the user, also at that key, prints why and returns 130 instead.
int EndOfRun(UpdateState& s, const PhaseResult& end);

// Runs a whole update and returns the program's exit status. Every end of the run goes through
// EndOfRun: it prints "\nPress a key to exit program" and waits for one key, unless the user cut
// the run short.
// With a trace, the run starts (or drops) it as --trace says.
int RunUpdate(UpdateState& s, int argc, const char* const* argv, TraceLog* trace = nullptr);

// The shipped program's run: RunUpdate over the platform's devices, clock and console, with the
// trace (--trace) recording around them, and the progress display when the program has one.
int RunUpdateProgram(SerialDevices& devices, Clock& clock, Console& console,
                     const FirmwarePayload& payload, int argc, const char* const* argv,
                     ProgressObserver* progress = nullptr);

}  // namespace quorel
