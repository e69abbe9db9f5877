#pragma once
// A run cut short by the user: Ctrl-C or a termination signal on POSIX; Ctrl-C, Ctrl-Break or a
// closed console window on Windows. The platform's handler only counts the request (and wakes a
// sleep in progress); the driver notices it at its next byte, wait, sleep or key read and ends
// the run through its one exit path.
//
// While the run writes the unit's settings back, a first request is held: the write-back
// finishes (a unit left with its settings half in one layout and half in another cannot sort
// them out), and the run ends after it. A second request during the hold counts at once.
namespace quorel {

// Safe to call from a signal handler and from any thread.
void RequestCancel();
bool CancelRequested();

// Begins the hold. False, with no hold, when a request has already come.
bool HoldCancel();
// True during the hold once a first request has come (and is being held).
bool CancelHeld();
// Ends the hold: a request held counts from now on.
void ReleaseCancel();

// Forgets every request and any hold, for a process that runs the driver more than once (the
// soak's series of runs on one unit's memory). The updater itself never calls it: a program
// ends with its run.
void ResetCancel();

}  // namespace quorel
