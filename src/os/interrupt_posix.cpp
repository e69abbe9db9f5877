#include "os/interrupt.h"

#include <signal.h>
#include <sys/select.h>

#include <cerrno>
#include <cstring>

#include "os/cancel.h"

namespace quorel {
namespace {

const int kHandledSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

void OnInterrupt(int) { RequestCancel(); }

void HandledSignals(sigset_t* set) {
  sigemptyset(set);
  for (int signalNumber : kHandledSignals) sigaddset(set, signalNumber);
}

}  // namespace

void InstallInterruptHandlers() {
  static bool installed = false;
  if (installed) return;
  installed = true;

  signal(SIGPIPE, SIG_IGN);

  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = OnInterrupt;
  // No SA_RESTART: a blocking call interrupted by one of these returns EINTR, and the code
  // around it looks at the flag.
  action.sa_flags = 0;
  HandledSignals(&action.sa_mask);
  for (int signalNumber : kHandledSignals) {
    struct sigaction previous;
    if (sigaction(signalNumber, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) {
      continue;
    }
    sigaction(signalNumber, &action, nullptr);
  }
}

WaitOutcome WaitForInputOrCancel(int fd, const timespec* timeout) {
  sigset_t handled;
  sigset_t previous;
  HandledSignals(&handled);
  pthread_sigmask(SIG_BLOCK, &handled, &previous);
  WaitOutcome outcome = WaitOutcome::kFailed;
  for (;;) {
    if (CancelRequested()) {
      outcome = WaitOutcome::kCancelled;
      break;
    }
    fd_set readable;
    FD_ZERO(&readable);
    if (fd >= 0) FD_SET(fd, &readable);
    // pselect lets the signals in only while it waits.
    int ready = pselect(fd >= 0 ? fd + 1 : 0, fd >= 0 ? &readable : nullptr, nullptr, nullptr,
                        timeout, &previous);
    if (ready > 0) {
      outcome = WaitOutcome::kReady;
      break;
    }
    if (ready == 0) {
      outcome = WaitOutcome::kTimedOut;
      break;
    }
    if (errno != EINTR) break;
    // Interrupted: the flag is looked at again. A timed wait that some other signal cut short
    // reports a time-out; its caller measures what is left.
    if (timeout != nullptr && !CancelRequested()) {
      outcome = WaitOutcome::kTimedOut;
      break;
    }
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return outcome;
}

}  // namespace quorel
