#include "os/interrupt.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace quorel {
namespace {

// The handler reads only these. The saved terminal record is written before its descriptor is
// published, and the descriptor is withdrawn before the record changes.
volatile sig_atomic_t gSerialFd = -1;
volatile sig_atomic_t gUnitAnswered = 0;
volatile sig_atomic_t gFlashSent = 0;
volatile sig_atomic_t gTerminalFd = -1;
termios gSavedTerminal;

const int kHandledSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

const char kNotFlashedMessage[] = "\nInterrupted. The unit was not flashed. Update exiting\n";
const char kAfterFlashMessage[] = "\nInterrupted after the flash command was sent.\n";

// Async-signal-safe: write(2) only, retried after partial writes and EINTR.
void WriteAllFromHandler(int fd, const char* text, size_t length) {
  while (length > 0) {
    ssize_t written = write(fd, text, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    text += written;
    length -= static_cast<size_t>(written);
  }
}

void OnInterrupt(int) {
  int terminalFd = gTerminalFd;
  if (terminalFd >= 0) tcsetattr(terminalFd, TCSANOW, &gSavedTerminal);

  bool flashSent = gFlashSent != 0;
  int serialFd = gSerialFd;
  if (serialFd >= 0) {
    gSerialFd = -1;
    // A unit that has answered sits in its update mode until it hears X. Once the flash
    // command is out it is programming its flash and must not be disturbed.
    if (gUnitAnswered != 0 && !flashSent) {
      const char leave = 'X';
      WriteAllFromHandler(serialFd, &leave, 1);
    }
    ioctl(serialFd, TIOCNXCL);
    close(serialFd);  // the kernel lets the X leave the port before the close completes
  }

  if (flashSent) {
    WriteAllFromHandler(STDOUT_FILENO, kAfterFlashMessage, sizeof kAfterFlashMessage - 1);
  } else {
    WriteAllFromHandler(STDOUT_FILENO, kNotFlashedMessage, sizeof kNotFlashedMessage - 1);
  }
  _exit(kInterruptedExitStatus);
}

void RestoreTerminalAtExit() { RestoreTerminal(); }

}  // namespace

void InstallInterruptHandlers() {
  static bool installed = false;
  if (installed) return;
  installed = true;

  signal(SIGPIPE, SIG_IGN);

  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = OnInterrupt;
  // One handler run at a time: a second signal during the first waits, and never comes back.
  sigemptyset(&action.sa_mask);
  for (int signalNumber : kHandledSignals) sigaddset(&action.sa_mask, signalNumber);
  for (int signalNumber : kHandledSignals) {
    struct sigaction previous;
    if (sigaction(signalNumber, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) {
      continue;
    }
    sigaction(signalNumber, &action, nullptr);
  }
  std::atexit(RestoreTerminalAtExit);
}

void NoteSerialFd(int fd) { gSerialFd = fd; }

void ForgetSerialFd(int fd) {
  if (gSerialFd == fd) gSerialFd = -1;
}

void NoteUnitAnswered(bool answered) { gUnitAnswered = answered ? 1 : 0; }

void NoteFlashSent() { gFlashSent = 1; }

void NoteTerminalSaved(int fd, const termios& saved) {
  gTerminalFd = -1;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  gSavedTerminal = saved;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  gTerminalFd = fd;
}

void ForgetTerminal() { gTerminalFd = -1; }

void RestoreTerminal() {
  int fd = gTerminalFd;
  if (fd >= 0) tcsetattr(fd, TCSANOW, &gSavedTerminal);
}

}  // namespace quorel
