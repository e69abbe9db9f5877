#pragma once
// Ctrl-C (SIGINT), SIGTERM, SIGHUP and SIGQUIT at any moment of a run: the handlers only raise
// the cancellation flag (os/cancel.h). They are installed without SA_RESTART, so a blocking
// sleep or key read returns with EINTR and looks at the flag; the driver then ends the run.
#include <time.h>

namespace quorel {

// Installs the handlers (once; later calls do nothing) and ignores SIGPIPE, so that a closed
// standard output never kills the program. A signal that was already ignored when the program
// started (for example SIGHUP under nohup) stays ignored.
void InstallInterruptHandlers();

enum class WaitOutcome { kReady, kTimedOut, kCancelled, kFailed };

// Waits until fd (when not -1) has input, the timeout (when not null) has passed, or the run
// is cut short. The handled signals stay blocked from the look at the flag until the wait has
// begun, so a signal that comes in between still ends the wait at once.
WaitOutcome WaitForInputOrCancel(int fd, const timespec* timeout);

}  // namespace quorel
