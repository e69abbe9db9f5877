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

// Bytes written to the port so far (wrapping), and the block being written: its length (0 for
// none) and the count written when it began. Lock-free atomics are safe to read in a handler.
std::atomic<uint32_t> gBytesWritten{0};
std::atomic<uint32_t> gBlockLength{0};
std::atomic<uint32_t> gBlockStart{0};
static_assert(std::atomic<uint32_t>::is_always_lock_free, "the handler reads these");

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
      uint32_t length = gBlockLength.load();
      uint32_t owed = length - (gBytesWritten.load() - gBlockStart.load());
      if (length > 0 && owed <= length) {
        static const char kFiller[256] = {};
        while (owed > 0) {
          uint32_t chunk = owed < sizeof kFiller ? owed : sizeof kFiller;
          WriteAllFromHandler(serialFd, kFiller, chunk);
          owed -= chunk;
        }
      }
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

void NoteBlockData(uint32_t length) {
  gBlockLength.store(0);
  gBlockStart.store(gBytesWritten.load());
  gBlockLength.store(length);
}

void NoteBytesWritten(size_t count) { gBytesWritten.fetch_add(static_cast<uint32_t>(count)); }

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
