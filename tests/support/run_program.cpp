#include "support/run_program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include "common/program_launch.h"
#include "os/posix_io.h"

namespace quorel::testing {

namespace {

void CloseBoth(int fds[2]) {
  close(fds[0]);
  close(fds[1]);
}

uint64_t NowMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
}

// Collects the child's standard output and error until both close, at most until deadlineMs;
// then kills it.
void Collect(pid_t pid, int out, int err, uint64_t deadlineMs, ProgramRun& run) {
  bool outOpen = true, errOpen = true;
  while (outOpen || errOpen) {
    pollfd fds[2] = {{outOpen ? out : -1, POLLIN, 0}, {errOpen ? err : -1, POLLIN, 0}};
    int ready = poll(fds, 2, 200);
    if (NowMs() > deadlineMs) {
      kill(pid, SIGKILL);
      break;
    }
    if (ready <= 0) continue;
    char buffer[4096];
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      ssize_t n = RetryOnInterrupt([&] { return read(fds[i].fd, buffer, sizeof buffer); });
      if (n <= 0) {
        (i == 0 ? outOpen : errOpen) = false;
      } else {
        (i == 0 ? run.out : run.err).append(buffer, static_cast<size_t>(n));
      }
    }
  }
}

}  // namespace

ProgramRun RunProgram(const std::string& path, const std::vector<std::string>& args,
                      const std::string& stdinText, int timeoutSeconds) {
  ProgramRun run;
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0) return run;
  if (pipe2(out, O_CLOEXEC) != 0) {
    CloseBoth(in);
    return run;
  }
  if (pipe2(err, O_CLOEXEC) != 0) {
    CloseBoth(in);
    CloseBoth(out);
    return run;
  }
  sim::LaunchRequest request;
  request.program = path;
  request.args = args;
  request.stdinFd = in[0];
  request.stdoutFd = out[1];
  request.stderrFd = err[1];
  const uint64_t deadlineMs = NowMs() + static_cast<uint64_t>(timeoutSeconds) * 1000 + 999;
  const sim::LaunchedProgram program = sim::LaunchProgram(request);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  if (program.status != sim::LaunchStatus::kStarted) {
    // As a shell reports a program it cannot run.
    run.exitStatus = 127;
    run.err = program.error + "\n";
    close(in[1]);
    close(out[0]);
    close(err[0]);
    return run;
  }
  signal(SIGPIPE, SIG_IGN);
  int writeError = 0;
  if (!stdinText.empty()) WriteAll(in[1], stdinText.data(), stdinText.size(), &writeError);
  close(in[1]);
  Collect(program.pid, out[0], err[0], deadlineMs, run);
  close(out[0]);
  close(err[0]);
  const uint64_t now = NowMs();
  const int leftMs = now < deadlineMs ? static_cast<int>(deadlineMs - now) : 0;
  run.exitStatus = sim::WaitForProgram(program, leftMs + 1000).exitStatus;
  return run;
}

}  // namespace quorel::testing
