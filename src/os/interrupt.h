#pragma once
// Ctrl-C (SIGINT), SIGTERM, SIGHUP and SIGQUIT at any moment of a run. The handler restores the
// console's terminal settings, sends the leave command X to the unit when it has answered and
// has not been told to flash, closes the serial port, prints why the run ended and exits with
// status 130. Everything it looks at is registered through the calls below; they are cheap and
// may be made at any time, also before the handlers are installed.
#include <termios.h>

#include <cstddef>
#include <cstdint>

namespace quorel {

// Exit status of a run ended by one of those signals.
constexpr int kInterruptedExitStatus = 130;

// Installs the handlers (once; later calls do nothing) and ignores SIGPIPE, so that a closed
// standard output never kills the program. A signal that was already ignored when the program
// started (for example SIGHUP under nohup) stays ignored.
void InstallInterruptHandlers();

// The descriptor of the open serial port, or none. Serial lines register themselves when they
// open and forget themselves before they close.
void NoteSerialFd(int fd);
void ForgetSerialFd(int fd);

// Whether the unit has answered a probe: from then on an interrupt sends X before closing.
void NoteUnitAnswered(bool answered);
// The flash command has been sent: an interrupt no longer sends X and says so in its message.
void NoteFlashSent();

// A data block of length bytes is about to be written to the port (0: the block is complete),
// and count more bytes have been written. An interrupt in the middle of a block first completes
// it with filler bytes: otherwise the unit would take the X for data and stay in update mode.
void NoteBlockData(uint32_t length);
void NoteBytesWritten(size_t count);

// The console's terminal on fd has been changed from the saved settings; an interrupt or the
// program's exit puts the saved settings back until ForgetTerminal is called.
void NoteTerminalSaved(int fd, const termios& saved);
void ForgetTerminal();
// Puts the noted terminal settings back now, if any are noted.
void RestoreTerminal();

}  // namespace quorel
