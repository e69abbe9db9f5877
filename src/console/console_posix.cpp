#include "console/console_posix.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "os/interrupt.h"
#include "os/posix_io.h"

namespace quorel {
namespace {

// Waits until fd is ready for the given poll events; used only when a descriptor we inherited
// was left in non-blocking mode. Returns false when the wait itself fails.
bool WaitReady(int fd, short events) {
  pollfd entry{fd, events, 0};
  return RetryOnInterrupt([&] { return poll(&entry, 1, -1); }) > 0;
}

// Writes every byte; false on the first real failure (EPIPE with SIGPIPE ignored, EIO, ...).
bool WriteText(int fd, const char* text, size_t length) {
  for (;;) {
    int error = 0;
    const size_t written = WriteAll(fd, text, length, &error);
    if (written == length) return true;
    text += written;
    length -= written;
    if ((error != EAGAIN && error != EWOULDBLOCK) || !WaitReady(fd, POLLOUT)) return false;
  }
}

// One byte from fd, or kEndOfInput at end of input, on an error, or once the run is cut short
// (the caller then finds the cancellation flag raised).
int ReadOneByte(int fd) {
  for (;;) {
    if (WaitForInputOrCancel(fd, nullptr) == WaitOutcome::kCancelled) return Console::kEndOfInput;
    unsigned char byte = 0;
    ssize_t got = read(fd, &byte, 1);
    if (got == 1) return byte;
    // Interrupted, or a descriptor left non-blocking: the wait above comes first again.
    if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    return Console::kEndOfInput;
  }
}

// Descriptors 0, 1 and 2 that the program was started without are opened on /dev/null, so that
// no later open (the serial port's) can take their place: a port on descriptor 0 would answer
// the key reads. A closed standard input then reads as end of input.
void OpenMissingStandardStreams() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // open takes the lowest free descriptor, which is this one.
    int opened = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) {
      dup2(opened, fd);
      close(opened);
    }
  }
}

}  // namespace

TerminalConsole::TerminalConsole() {
  OpenMissingStandardStreams();
  InstallInterruptHandlers();
}


void TerminalConsole::Write(const char* text, size_t length) {
  if (outputFailed_) return;
  if (!WriteText(STDOUT_FILENO, text, length)) outputFailed_ = true;
}

void TerminalConsole::Error(const std::string& line) {
  if (errorFailed_) return;
  std::string text = line + "\n";
  if (!WriteText(STDERR_FILENO, text.data(), text.size())) errorFailed_ = true;
}

int TerminalConsole::ReadKey() {
  termios saved;
  if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &saved) != 0) {
    return ReadOneByte(STDIN_FILENO);
  }
  termios keyMode = saved;
  keyMode.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHONL);
  keyMode.c_lflag |= ISIG;
  keyMode.c_cc[VMIN] = 1;
  keyMode.c_cc[VTIME] = 0;
  tcsetattr(STDIN_FILENO, TCSANOW, &keyMode);
  // A Ctrl-C ends the read (it returns with the flag raised), so the settings are always put
  // back here, before the driver prints why the run ended.
  int key = ReadOneByte(STDIN_FILENO);
  tcsetattr(STDIN_FILENO, TCSANOW, &saved);
  return key;
}

}  // namespace quorel
