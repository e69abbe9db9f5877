#pragma once
// A run cut short by the user: Ctrl-C or a termination signal on POSIX; Ctrl-C, Ctrl-Break or a
// closed console window on Windows. The platform's handler only raises the flag (and wakes a
// sleep in progress); the driver notices it at its next byte, wait, sleep or key read and ends
// the run through its one exit path.
namespace quorel {

// Safe to call from a signal handler and from any thread.
void RequestCancel();
bool CancelRequested();

// Lowers the flag again, for a process that runs the driver more than once (the soak's series
// of runs on one unit's memory). The updater itself never calls it: a program ends with its run.
void ResetCancel();

}  // namespace quorel
