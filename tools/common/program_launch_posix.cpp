#include "common/program_launch.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "os/clock.h"
#include "os/posix_io.h"

namespace quorel::sim {

namespace {

// The steps of preparing the child, for its report when one fails.
enum ChildStep : int32_t {
  kStepParent = 1,
  kStepStreams,
  kStepSession,
  kStepTrace,
  kStepExec,
};

const char* StepText(int32_t step) {
  switch (step) {
    case kStepParent: return "the launching process ended";
    case kStepStreams: return "cannot set up the standard streams";
    case kStepSession: return "cannot give the program its controlling terminal";
    case kStepTrace: return "cannot trace the program";
    case kStepExec: return "cannot execute the program";
    default: return "cannot start the program";
  }
}

// What the child writes to the parent when a step fails. A failed exec is reported; a
// successful one closes the pipe (close-on-exec) with nothing written but warnings.
struct ChildReport {
  int32_t step;
  int32_t error;
  int32_t fatal;
};

uint64_t TimevalNs(const timeval& t) {
  return static_cast<uint64_t>(t.tv_sec) * 1000000000ull + static_cast<uint64_t>(t.tv_usec) * 1000u;
}

// The peak resident set of a live (or exit-stopped) process's image, in KiB; 0 when unknown.
long ReadPeakRssKb(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return 0;
}

void SleepOneMs() {
  timespec pause{0, 1000000};
  nanosleep(&pause, nullptr);
}

// Everything the child needs, made before the fork: after it only async-signal-safe calls run.
struct ChildPlan {
  std::vector<std::string> argvText;
  std::vector<char*> argv;
  int in = -1;
  int out = -1;
  int err = -1;
  bool controllingTerminal = false;
  bool closeStdin = false;
  bool trace = false;
  pid_t parent = 0;
  int reportFd = -1;
};

[[noreturn]] void Fail(const ChildPlan& plan, int32_t step) {
  ChildReport report{step, errno, 1};
  ssize_t ignored = write(plan.reportFd, &report, sizeof report);
  (void)ignored;
  _exit(127);
}

void Warn(const ChildPlan& plan, int32_t step) {
  ChildReport report{step, errno, 0};
  ssize_t ignored = write(plan.reportFd, &report, sizeof report);
  (void)ignored;
}

// Runs in the forked child.
[[noreturn]] void RunChild(ChildPlan& plan) {
  // Dies with the thread that launched it, so no run outlives an aborted test or benchmark.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != plan.parent) Fail(plan, kStepParent);

  // A clean signal state: nothing blocked or ignored that the launching process had.
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGCHLD}) signal(sig, SIG_DFL);

  // The streams are first moved above 2 so that one cannot overwrite another being moved.
  const int sources[3] = {plan.in, plan.out, plan.err};
  int moved[3] = {-1, -1, -1};
  for (int k = 0; k < 3; ++k) {
    if (sources[k] >= 0 && (moved[k] = fcntl(sources[k], F_DUPFD_CLOEXEC, 10)) < 0) {
      Fail(plan, kStepStreams);
    }
  }
  for (int k = 0; k < 3; ++k) {
    if (moved[k] >= 0 && dup2(moved[k], k) < 0) Fail(plan, kStepStreams);
  }

  if (plan.closeStdin) close(0);
  if (plan.controllingTerminal) {
    if (setsid() < 0 || ioctl(0, TIOCSCTTY, 0) != 0) Fail(plan, kStepSession);
  }
  if (plan.trace && ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) Warn(plan, kStepTrace);

  execv(plan.argv[0], plan.argv.data());
  Fail(plan, kStepExec);
}

LaunchedProgram Failed(LaunchStatus status, std::string error) {
  LaunchedProgram result;
  result.status = status;
  result.error = std::move(error);
  return result;
}

}  // namespace

LaunchedProgram LaunchProgram(const LaunchRequest& request) {
  if (access(request.program.c_str(), X_OK) != 0) {
    return Failed(LaunchStatus::kFailed, request.program + ": " + std::strerror(errno));
  }
  ChildPlan plan;
  plan.argvText.push_back(request.program);
  plan.argvText.insert(plan.argvText.end(), request.args.begin(), request.args.end());
  for (std::string& text : plan.argvText) plan.argv.push_back(text.data());
  plan.argv.push_back(nullptr);
  plan.controllingTerminal = request.controllingTerminal;
  plan.closeStdin = request.closeStdin;
  plan.trace = request.measurePeakRss;
  plan.parent = getpid();

  // Descriptors the child uses and the parent closes after the fork.
  std::vector<int> parentCloses;
  auto closeAll = [&parentCloses] {
    for (int fd : parentCloses) close(fd);
    parentCloses.clear();
  };

  plan.in = request.stdinFd;
  if (plan.in < 0) {
    plan.in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (plan.in >= 0) parentCloses.push_back(plan.in);
  }
  plan.out = request.stdoutFd;
  plan.err = request.stderrFd;

  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) {
    std::string error = std::string("cannot create a pipe: ") + std::strerror(errno);
    closeAll();
    return Failed(LaunchStatus::kFailed, error);
  }
  plan.reportFd = report[1];

  pid_t pid = fork();
  if (pid == 0) RunChild(plan);
  close(report[1]);
  closeAll();
  if (pid < 0) {
    close(report[0]);
    return Failed(LaunchStatus::kFailed, std::string("cannot fork: ") + std::strerror(errno));
  }

  // Reports until the exec closes the pipe; a fatal one ends the child.
  LaunchedProgram result;
  result.pid = pid;
  result.status = LaunchStatus::kStarted;
  result.traced = request.measurePeakRss;
  for (;;) {
    ChildReport r{};
    ssize_t got = RetryOnInterrupt([&] { return read(report[0], &r, sizeof r); });
    if (got != static_cast<ssize_t>(sizeof r)) break;
    if (r.step == kStepTrace) result.traced = false;
    if (r.fatal == 0) continue;
    result.status = LaunchStatus::kFailed;
    result.error = std::string(StepText(r.step)) + ": " + std::strerror(r.error);
  }
  close(report[0]);
  if (result.status != LaunchStatus::kStarted) {
    int status = 0;
    RetryOnInterrupt([&] { return waitpid(pid, &status, __WALL); });
    result.pid = -1;
    result.traced = false;
    return result;
  }

  if (result.traced) {
    // The exec stops a traced child with SIGTRAP: from here on stop it once more at its exit,
    // and kill it should this thread end first.
    int status = 0;
    RetryOnInterrupt([&] { return waitpid(pid, &status, __WALL); });
    if (WIFSTOPPED(status)) {
      const long options = PTRACE_O_TRACEEXIT | PTRACE_O_EXITKILL;
      ptrace(PTRACE_SETOPTIONS, pid, nullptr, reinterpret_cast<void*>(options));
      ptrace(PTRACE_CONT, pid, nullptr, nullptr);
    } else {
      // It ended before its first instruction; WaitForProgram cannot reap it again.
      result.status = LaunchStatus::kFailed;
      result.error = "the program ended at once";
      result.pid = -1;
      return result;
    }
  }
  result.startNs = SystemClock().NowNs();
  return result;
}

ProgramUsage WaitForProgram(const LaunchedProgram& program, int timeoutMs) {
  ProgramUsage usage;
  if (program.pid <= 0) return usage;
  const uint64_t deadline = SystemClock().NowNs() + static_cast<uint64_t>(timeoutMs) * kNsPerMs;
  long ownPeakKb = 0;
  for (;;) {
    int status = 0;
    rusage resources{};
    pid_t done = RetryOnInterrupt(
        [&] { return wait4(program.pid, &status, WNOHANG | __WALL, &resources); });
    if (done == program.pid) {
      if (WIFSTOPPED(status)) {
        if (program.traced && (status >> 8) == (SIGTRAP | (PTRACE_EVENT_EXIT << 8))) {
          // Stopped on its way out with its image still there: its own peak.
          ownPeakKb = ReadPeakRssKb(program.pid);
          ptrace(PTRACE_CONT, program.pid, nullptr, nullptr);
        } else {
          // A signal on its way to the program: deliver it.
          const int sig = WSTOPSIG(status);
          ptrace(PTRACE_CONT, program.pid, nullptr,
                 reinterpret_cast<void*>(static_cast<intptr_t>(sig == SIGTRAP ? 0 : sig)));
        }
        continue;
      }
      usage.wallNs = SystemClock().NowNs() - program.startNs;
      if (WIFEXITED(status)) usage.exitStatus = WEXITSTATUS(status);
      if (WIFSIGNALED(status)) usage.exitStatus = 128 + WTERMSIG(status);
      usage.userNs = TimevalNs(resources.ru_utime);
      usage.systemNs = TimevalNs(resources.ru_stime);
      usage.forkedPeakRssKb = resources.ru_maxrss;
      usage.peakRssOwn = ownPeakKb > 0;
      usage.peakRssKb = usage.peakRssOwn ? ownPeakKb : resources.ru_maxrss;
      return usage;
    }
    if (done < 0) return usage;
    if (!usage.timedOut && SystemClock().NowNs() >= deadline) {
      usage.timedOut = true;
      kill(program.pid, SIGKILL);
    }
    SleepOneMs();
  }
}

}  // namespace quorel::sim
