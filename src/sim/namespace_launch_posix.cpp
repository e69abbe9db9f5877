#include "sim/namespace_launch.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
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
#include "os/serial_posix.h"

namespace quorel::sim {

namespace {

// The steps of preparing the child, for its report when one fails.
enum ChildStep : int32_t {
  kStepParent = 1,
  kStepUnshare,
  kStepUserMap,
  kStepPrivate,
  kStepDevTmpfs,
  kStepDevNode,
  kStepBind,
  kStepStreams,
  kStepSession,
  kStepTrace,
  kStepExec,
};

const char* StepText(int32_t step) {
  switch (step) {
    case kStepParent: return "the launching process ended";
    case kStepUnshare: return "cannot make a private mount namespace";
    case kStepUserMap: return "cannot map the user into the new user namespace";
    case kStepPrivate: return "cannot make the mounts private";
    case kStepDevTmpfs: return "cannot mount a tmpfs on /dev";
    case kStepDevNode: return "cannot create a device entry in the private /dev";
    case kStepBind: return "cannot bind-mount the device onto the port's device";
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

// One bind mount the child makes.
struct BindMount {
  std::string source;
  std::string target;
  bool directory;
  // In a private /dev: the target is made first, and the source, which the tmpfs hides, is
  // reached through a descriptor the child opens before it mounts the tmpfs (a descriptor from
  // before the new namespace would name a mount of the old one, which cannot be bound here).
  bool privateDev;
  char descriptorPath[40];
};

// Entries carried into a private /dev besides the ports.
const char* const kCarriedDevices[] = {"/dev/null",    "/dev/zero", "/dev/full", "/dev/random",
                                       "/dev/urandom", "/dev/tty",  "/dev/pts"};

// "/proc/self/fd/" and the number, without anything that may allocate.
void FormatDescriptorPath(int fd, char* out) {
  const char prefix[] = "/proc/self/fd/";
  size_t at = 0;
  for (; prefix[at] != '\0'; ++at) out[at] = prefix[at];
  char digits[12];
  size_t count = 0;
  unsigned value = static_cast<unsigned>(fd);
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (count > 0) out[at++] = digits[--count];
  out[at] = '\0';
}

bool Exists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

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
  std::vector<BindMount> mounts;
  bool privateDev = false;
  bool anyPorts = false;
  std::string uidMap;
  std::string gidMap;
  int in = -1;
  int out = -1;
  int err = -1;
  bool controllingTerminal = false;
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

bool WriteWhole(const char* path, const std::string& text) {
  int fd = open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  return ok;
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

  if (plan.anyPorts) {
    if (unshare(CLONE_NEWNS) != 0) {
      // Without CAP_SYS_ADMIN: a user namespace of its own, where the system allows that, in
      // which the user keeps its ids.
      if (errno != EPERM || unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) Fail(plan, kStepUnshare);
      if (!WriteWhole("/proc/self/setgroups", "deny") ||
          !WriteWhole("/proc/self/uid_map", plan.uidMap) ||
          !WriteWhole("/proc/self/gid_map", plan.gidMap)) {
        Fail(plan, kStepUserMap);
      }
    }
    // Mounts made here must not propagate back to the system's namespace.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) Fail(plan, kStepPrivate);
    if (plan.privateDev) {
      for (BindMount& m : plan.mounts) {
        int fd = open(m.source.c_str(), O_PATH | O_CLOEXEC);
        if (fd < 0) Fail(plan, kStepDevNode);
        FormatDescriptorPath(fd, m.descriptorPath);
      }
      if (mount("tmpfs", "/dev", "tmpfs", MS_NOSUID | MS_NOEXEC, "mode=0755") != 0) {
        Fail(plan, kStepDevTmpfs);
      }
    }
    for (const BindMount& m : plan.mounts) {
      if (m.privateDev) {
        if (m.directory) {
          if (mkdir(m.target.c_str(), 0755) != 0 && errno != EEXIST) Fail(plan, kStepDevNode);
        } else {
          int fd = open(m.target.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
          if (fd < 0) Fail(plan, kStepDevNode);
          close(fd);
        }
      }
      unsigned long flags = MS_BIND | (m.directory ? MS_REC : 0);
      const char* source = m.privateDev ? m.descriptorPath : m.source.c_str();
      if (mount(source, m.target.c_str(), nullptr, flags, nullptr) != 0) {
        Fail(plan, kStepBind);
      }
    }
    if (plan.privateDev) {
      // Failures here cost nothing the program needs.
      if (symlink("/proc/self/fd", "/dev/fd") != 0) Warn(plan, kStepDevNode);
      if (symlink("/proc/self/fd/0", "/dev/stdin") != 0) Warn(plan, kStepDevNode);
      if (symlink("/proc/self/fd/1", "/dev/stdout") != 0) Warn(plan, kStepDevNode);
      if (symlink("/proc/self/fd/2", "/dev/stderr") != 0) Warn(plan, kStepDevNode);
    }
  }

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

LaunchedProgram LaunchWithPorts(const LaunchRequest& request) {
  if (access(request.program.c_str(), X_OK) != 0) {
    return Failed(LaunchStatus::kFailed, request.program + ": " + std::strerror(errno));
  }
  ChildPlan plan;
  plan.argvText.push_back(request.program);
  plan.argvText.insert(plan.argvText.end(), request.args.begin(), request.args.end());
  for (std::string& text : plan.argvText) plan.argv.push_back(text.data());
  plan.argv.push_back(nullptr);
  plan.anyPorts = !request.ports.empty();
  plan.controllingTerminal = request.controllingTerminal;
  plan.trace = request.measurePeakRss;
  plan.parent = getpid();
  plan.uidMap = std::to_string(getuid()) + " " + std::to_string(getuid()) + " 1\n";
  plan.gidMap = std::to_string(getgid()) + " " + std::to_string(getgid()) + " 1\n";

  // Descriptors the child uses and the parent closes after the fork.
  std::vector<int> parentCloses;
  auto closeAll = [&parentCloses] {
    for (int fd : parentCloses) close(fd);
    parentCloses.clear();
  };

  std::vector<std::string> targets;
  for (const PortDevice& port : request.ports) {
    std::string target = DevicePathForPort(port.portName.c_str());
    if (target.empty()) return Failed(LaunchStatus::kFailed, port.portName + ": no such port");
    if (!Exists(port.devicePath)) {
      return Failed(LaunchStatus::kFailed, port.devicePath + ": " + std::strerror(errno));
    }
    if (!Exists(target)) plan.privateDev = true;
    targets.push_back(target);
  }
  auto addMount = [&](const std::string& source, const std::string& target) {
    struct stat info;
    bool directory = stat(source.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
    plan.mounts.push_back(BindMount{source, target, directory, plan.privateDev, {}});
  };
  if (plan.privateDev) {
    for (const char* device : kCarriedDevices) {
      if (Exists(device)) addMount(device, device);
    }
  }
  for (size_t i = 0; i < request.ports.size(); ++i) {
    addMount(request.ports[i].devicePath, targets[i]);
  }

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
    ssize_t got = read(report[0], &r, sizeof r);
    if (got < 0 && errno == EINTR) continue;
    if (got != static_cast<ssize_t>(sizeof r)) break;
    if (r.step == kStepTrace) result.traced = false;
    if (r.fatal == 0) continue;
    result.status = LaunchStatus::kFailed;
    result.error = std::string(StepText(r.step)) + ": " + std::strerror(r.error);
    const bool denied = r.error == EPERM || r.error == EACCES;
    if (denied && r.step >= kStepUnshare && r.step <= kStepBind) {
      result.status = LaunchStatus::kNotPermitted;
    }
  }
  close(report[0]);
  if (result.status != LaunchStatus::kStarted) {
    int status = 0;
    while (waitpid(pid, &status, __WALL) < 0 && errno == EINTR) {
    }
    result.pid = -1;
    result.traced = false;
    return result;
  }

  if (result.traced) {
    // The exec stops a traced child with SIGTRAP: from here on stop it once more at its exit,
    // and kill it should this thread end first.
    int status = 0;
    while (waitpid(pid, &status, __WALL) < 0 && errno == EINTR) {
    }
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
    pid_t done = wait4(program.pid, &status, WNOHANG | __WALL, &resources);
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
    if (done < 0 && errno != EINTR) return usage;
    if (!usage.timedOut && SystemClock().NowNs() >= deadline) {
      usage.timedOut = true;
      kill(program.pid, SIGKILL);
    }
    SleepOneMs();
  }
}

}  // namespace quorel::sim
