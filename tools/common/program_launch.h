#pragma once
// Starts a program, typically the shipped updater, with given standard streams, optionally in a
// session of its own with a controlling terminal, and reports what a benchmark wants of the run:
// exit status, wall time, CPU time and peak resident set. A child's ru_maxrss also counts
// the image it was forked from (the whole parent process, a test binary or a benchmark holding a
// simulated unit's 16 MiB memory), so with measurePeakRss the child is traced (ptrace) and its
// own peak (VmHWM of the program's image) is read when it exits.
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace quorel::sim {

struct LaunchRequest {
  std::string program;            // path of the program
  std::vector<std::string> args;  // its arguments, after argv[0] (which is the program's path)
  int stdinFd = -1;               // -1: /dev/null (key reads get end of input)
  int stdoutFd = -1;              // -1: the caller's standard output
  int stderrFd = -1;              // -1: the caller's standard error
  // A session of its own with standard input, a terminal, as its controlling terminal: the
  // program runs as it would in the foreground of that terminal (a hang-up of it ends the run).
  bool controllingTerminal = false;
  // Start the program with descriptor 0 closed (as "program <&-" does); no controlling terminal
  // then.
  bool closeStdin = false;
  // Trace the child to read its own peak resident set at exit (see above). A traced program
  // cannot be traced by anything else: LeakSanitizer, which traces the program at its exit,
  // fails in it, so leave this off for a program built with AddressSanitizer.
  bool measurePeakRss = false;
};

enum class LaunchStatus {
  kStarted,
  kFailed,  // a missing program, a fork or a stream that failed
};

struct LaunchedProgram {
  LaunchStatus status = LaunchStatus::kFailed;
  std::string error;  // why it did not start
  pid_t pid = -1;
  uint64_t startNs = 0;  // monotonic clock, when the program's image began to run
  bool traced = false;   // its own peak resident set will be measured
};

// Forks, prepares the child (standard streams, session) and executes the
// program. Returns once the program runs or the launch failed. With measurePeakRss, call
// WaitForProgram from the same thread (ptrace ties the child to the thread that started it);
// the child is also killed should that thread end first.
LaunchedProgram LaunchProgram(const LaunchRequest& request);

struct ProgramUsage {
  bool timedOut = false;     // the wait ran out and the program was killed
  int exitStatus = -1;       // the status passed to exit, or 128 + the signal that ended it
  uint64_t wallNs = 0;       // from the start of the program's image until it was reaped
  uint64_t userNs = 0;       // CPU time in user mode
  uint64_t systemNs = 0;     // CPU time in the kernel
  long peakRssKb = 0;        // its own peak when traced, else the rusage figure (see above)
  bool peakRssOwn = false;   // true when peakRssKb is the program's own peak
  long forkedPeakRssKb = 0;  // the rusage figure, which includes the parent's image
};

// Waits for the program to end, at most timeoutMs; then kills it (SIGKILL), reaps it and
// reports timedOut. A traced program is let through its stops on the way.
ProgramUsage WaitForProgram(const LaunchedProgram& program, int timeoutMs);

}  // namespace quorel::sim
