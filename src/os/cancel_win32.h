#pragma once
// Windows side of the cancellation flag: a console control handler for Ctrl-C, Ctrl-Break and a
// closed console window that raises the flag and sets an event, so that a sleep or a key wait in
// progress ends at once.
namespace quorel {

// Installs the console control handler (once; later calls do nothing).
void InstallCancelHandler();

// What the handler does: raises the cancellation flag and sets the event. Also for a Ctrl-C that
// arrives as a key.
void RaiseCancel();

// The calling thread is about to block in a read that no event can interrupt (standard input
// from a pipe) or has come back from it: a cancellation meanwhile cancels that read.
void NoteBlockingRead(bool reading);

// The manual-reset event the handler sets (a HANDLE); waits include it to end early.
void* CancelEvent();

// The run is over: a handler waiting for it (the console window was closed) may return, after
// which Windows ends the process.
void NoteRunEnded();

}  // namespace quorel
