// Whole updates of the real driver in child processes, over real pseudo-terminals: the serial
// port is a pty served by a simulated unit in real time, the console another pty that is the
// child's controlling terminal. What the run leaves behind when things go wrong under it: the
// device vanishing in the middle of the download, Ctrl-C at several moments of the run, and a
// standard output that nobody reads any more.
//
// The child runs the driver exactly as the program does (real port layer, real console, real
// signal handling) on the system clock, except that its sleeps are shortened: the fixed sleeps
// of a second or more by twenty times, and for most cases the short reply waits by four, so a
// whole run takes about a second. The tests look at real I/O, not at the pace of the protocol.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>
#include <utmp.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "console/console_posix.h"
#include "os/clock.h"
#include "os/interrupt.h"
#include "os/posix_io.h"
#include "os/serial_posix.h"
#include "payload/payload.h"
#include "sim/pty_unit_server.h"
#include "sim/simulated_unit.h"
#include "support/console_texts.h"
#include "support/posix_child.h"
#include "support/sim_helpers.h"
#include "driver/driver.h"

namespace quorel {
namespace {

using testing::kPrompt;

using sim::PtyUnitServer;
using sim::SimulatedUnit;
using testing::PseudoTerminal;
using testing::ReadFor;
using testing::WaitUntil;
using testing::WriteText;

const char kInterrupted[] = "Interrupted. The unit was not flashed. Update exiting";

// The system clock with shortened sleeps; its time runs on by what a sleep skipped, so the
// driver sees the full waits it asked for.
class AbridgedClock : public Clock {
 public:
  AbridgedClock(uint64_t longDivisor, uint64_t shortDivisor)
      : longDivisor_(longDivisor), shortDivisor_(shortDivisor) {}
  uint64_t NowNs() override { return SystemClock().NowNs() + skippedNs_; }
  void SleepNs(uint64_t ns) override {
    const uint64_t real = ns / (ns >= 500 * kNsPerMs ? longDivisor_ : shortDivisor_);
    skippedNs_ += ns - real;
    SystemClock().SleepNs(real);
  }

 private:
  uint64_t longDivisor_;
  uint64_t shortDivisor_;
  uint64_t skippedNs_ = 0;
};

uint64_t NowMs() { return SystemClock().NowNs() / kNsPerMs; }

// How the child is wired: its serial port, its standard streams, its command line.
struct ChildPlan {
  std::string serialPath;
  std::vector<std::string> args;
  int terminal = -1;  // a pty slave: stdin, stdout and stderr, and the controlling terminal
  int input = -1;     // without a terminal: standard input (-1: /dev/null)
  int output = -1;    // standard output instead of the terminal's (-1: leave it)
  uint64_t shortDivisor = 4;
};

// Forks a child that waits for one byte on a pipe, then runs a whole update as the program's
// entry does and exits with its status. The child keeps none of the parent's descriptors but
// those it is given: a copy of the pty's master would keep the device alive after the server
// has closed it. Start the server's thread only after this returns (a fork copies one thread).
pid_t StartUpdater(const ChildPlan& plan, int* go) {
  int gate[2];
  if (pipe(gate) != 0) return -1;
  pid_t pid = testing::ForkChild([&]() -> int {
    for (int fd = 3; fd < 1024; ++fd) {
      if (fd != gate[0] && fd != plan.terminal && fd != plan.input && fd != plan.output) close(fd);
    }
    if (plan.terminal >= 0) {
      if (login_tty(plan.terminal) != 0) return 90;
    } else {
      int input = plan.input >= 0 ? plan.input : open("/dev/null", O_RDONLY);
      if (dup2(input, STDIN_FILENO) < 0) return 91;
    }
    if (plan.output >= 0 && dup2(plan.output, STDOUT_FILENO) < 0) return 92;
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) {
      signal(signalNumber, SIG_DFL);
    }
    char byte = 0;
    if (read(gate[0], &byte, 1) != 1) return 93;
    close(gate[0]);

    TerminalConsole console;
    PosixSerialDevices devices([&console](const std::string& line) { console.Error(line); });
    devices.MapPort("COM1", plan.serialPath);
    AbridgedClock clock(20, plan.shortDivisor);
    UpdateState state(devices, clock, console, CompiledPayload());
    std::vector<const char*> argv = {"quorel-update"};
    for (const std::string& arg : plan.args) argv.push_back(arg.c_str());
    return RunUpdate(state, static_cast<int>(argv.size()), argv.data());
  });
  close(gate[0]);
  if (pid < 0) {
    close(gate[1]);
    return -1;
  }
  *go = gate[1];
  return pid;
}

void Release(int go) {
  const char byte = 'g';
  (void)!write(go, &byte, 1);
  close(go);
}

struct ChildEnd {
  int status = -1;  // exit status, 128 + signal, or -1 when killed for running too long
  uint64_t endMs = 0;
  double cpuSeconds = 0;
};

double Seconds(const timeval& t) {
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
}

ChildEnd WaitForChild(pid_t pid, int timeoutMs) {
  ChildEnd end;
  const uint64_t deadline = NowMs() + static_cast<uint64_t>(timeoutMs);
  for (;;) {
    int status = 0;
    rusage usage{};
    pid_t done = RetryOnInterrupt([&] { return wait4(pid, &status, WNOHANG, &usage); });
    if (done == pid) {
      end.endMs = NowMs();
      end.cpuSeconds = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
      end.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return end;
    }
    if (done < 0) return end;
    if (NowMs() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      end.endMs = NowMs();
      return end;
    }
    timespec pause{0, 1000000};
    nanosleep(&pause, nullptr);
  }
}

// CPU seconds a running process has used so far.
double CpuSoFar(pid_t pid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  FILE* file = std::fopen(path, "r");
  if (file == nullptr) return -1;
  char text[1024] = {};
  size_t got = std::fread(text, 1, sizeof text - 1, file);
  std::fclose(file);
  text[got] = '\0';
  // Fields 14 and 15 (user and system time in clock ticks) follow the command name in brackets.
  const char* after = std::strrchr(text, ')');
  if (after == nullptr) return -1;
  unsigned long user = 0;
  unsigned long system = 0;
  if (std::sscanf(after + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &user,
                  &system) != 2) {
    return -1;
  }
  return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

uint64_t DataBlocks(PtyUnitServer& server) {
  return server.WithUnit([](SimulatedUnit& u) { return u.stats().dataBlocks; });
}

bool UnitTook(PtyUnitServer& server, const std::string& command) {
  return server.WithUnit([&](SimulatedUnit& u) {
    for (const sim::TranscriptEntry& entry : u.transcript()) {
      if (entry.command == command) return true;
    }
    return false;
  });
}

void PutProUnitOn(SimulatedUnit& unit, ReleaseCode code) {
  unit.SetCodeRegionChecksum(testing::ChecksumOfRelease(CompiledPayload(), kProModel, code));
}

size_t CountOf(const SimulatedUnit& unit, const std::string& command) {
  return testing::CountOf(unit.Commands(), command);
}

bool ReadingAKey(int slave) {
  termios now{};
  return tcgetattr(slave, &now) == 0 && (now.c_lflag & (ICANON | ECHO)) == 0;
}

void ExpectSameTerminal(const termios& before, int slave) {
  termios after{};
  ASSERT_EQ(tcgetattr(slave, &after), 0);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(after.c_iflag, before.c_iflag);
  EXPECT_EQ(after.c_oflag, before.c_oflag);
  EXPECT_EQ(after.c_cc[VMIN], before.c_cc[VMIN]);
  EXPECT_EQ(after.c_cc[VTIME], before.c_cc[VTIME]);
}

// Appends whatever is waiting on fd (non-blocking) to text.
void Collect(int fd, std::string* text) {
  char buffer[4096];
  for (;;) {
    pollfd entry{fd, POLLIN, 0};
    if (poll(&entry, 1, 0) <= 0 || (entry.revents & POLLIN) == 0) return;
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got <= 0) return;
    text->append(buffer, static_cast<size_t>(got));
  }
}

TEST(Stress, DeviceVanishingMidDownloadEndsTheRunPromptlyWithoutSpinning) {
  auto unit = std::make_unique<SimulatedUnit>();
  PutProUnitOn(*unit, 0x110503);
  auto server = std::make_unique<PtyUnitServer>(*unit);
  std::string problem;
  ASSERT_TRUE(server->Open(&problem)) << problem;
  int out[2];
  ASSERT_EQ(pipe(out), 0);

  // Real reply waits: what follows the loss of the device is timed as the program times it.
  ChildPlan plan;
  plan.serialPath = server->devicePath();
  plan.output = out[1];
  plan.shortDivisor = 1;
  int go = -1;
  const uint64_t startMs = NowMs();
  pid_t child = StartUpdater(plan, &go);
  ASSERT_GT(child, 0);
  close(out[1]);
  ASSERT_TRUE(server->Start(&problem)) << problem;
  Release(go);

  std::string text;
  ASSERT_TRUE(WaitUntil(
      [&] {
        Collect(out[0], &text);
        return DataBlocks(*server) >= 3;
      },
      20000))
      << "the download did not start; console so far:\n"
      << text;
  const double cpuAtLoss = CpuSoFar(child);
  const uint64_t lossMs = NowMs();
  server.reset();  // the pty's master closes: the device is gone

  const ChildEnd end = WaitForChild(child, 10000);
  text += ReadFor(out[0], 200);
  close(out[0]);
  ASSERT_NE(end.status, -1) << "the run did not end; console so far:\n" << text;
  EXPECT_EQ(end.status, 0) << text;
  EXPECT_LT(end.endMs - lossMs, 2000u) << "the run took this long to notice";
  EXPECT_NE(text.find("\nSending SW update.."), std::string::npos) << text;
  EXPECT_NE(text.find("\nThe serial port stopped working during the main image (block at 000"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("The unit was not flashed. Update exiting\n" + kPrompt), std::string::npos)
      << text;
  EXPECT_EQ(text.find("Now flashing"), std::string::npos);
  EXPECT_FALSE(unit->flashed());
  EXPECT_EQ(CountOf(*unit, "F5382"), 0u);

  // Asleep, not spinning: the run used a small part of its time on the CPU, before the device
  // went and after.
  const double wall = static_cast<double>(end.endMs - startMs) / 1000.0;
  EXPECT_LT(end.cpuSeconds, 0.25 * wall) << end.cpuSeconds << " s of CPU in " << wall << " s";
  ASSERT_GE(cpuAtLoss, 0);
  const double afterLoss = static_cast<double>(end.endMs - lossMs) / 1000.0;
  EXPECT_LT(end.cpuSeconds - cpuAtLoss, 0.05 + 0.5 * afterLoss)
      << end.cpuSeconds - cpuAtLoss << " s of CPU in the " << afterLoss << " s after the loss";
}

// A unit that leaves the first three checksum queries of the block at 0x800 unanswered, and
// the moment the updater first waits for that answer: a Ctrl-C then comes while it waits (the
// completion of a block cut short by an interrupt is tested with the handler on its own).
void StallAtThirdBlock(SimulatedUnit& unit) {
  PutProUnitOn(unit, 0x110503);
  for (int attempt = 0; attempt < 3; ++attempt) {
    unit.faults().checksumFaults[{0x800, attempt}] =
        sim::ChecksumFault{sim::ChecksumFaultKind::kMissing, 0};
  }
}

bool WaitingForThirdBlocksReply(PtyUnitServer& server, int) {
  return server.WithUnit([](SimulatedUnit& u) {
    return u.currentAddress() == 0x800 && !u.transcript().empty() &&
           u.transcript().back().command == "C";
  });
}

struct InterruptCase {
  const char* name;
  std::function<void(SimulatedUnit&)> setUp;
  // When to press Ctrl-C: polled with the server and the console's slave.
  std::function<bool(PtyUnitServer&, int slave)> moment;
  bool unitAnswered;  // X must reach the unit
  bool stdoutClosed;  // standard output is a pipe nobody reads
  uint64_t shortDivisor;
};

TEST(Stress, CtrlCAtAnyMomentLeavesTheUnitAndTheTerminalAsTheyShouldBe) {
  const InterruptCase cases[] = {
      {"during the greeting", [](SimulatedUnit& u) { PutProUnitOn(u, 0x110503); },
       [](PtyUnitServer& s, int) { return UnitTook(s, "G"); }, true, false, 4},
      {"during the download", StallAtThirdBlock, WaitingForThirdBlocksReply, true, false, 4},
      {"at the question about an unknown unit",
       [](SimulatedUnit& u) { u.SetCodeRegionChecksum(0x123456); },
       [](PtyUnitServer&, int slave) { return ReadingAKey(slave); }, true, false, 4},
      {"at the key prompt after a unit that never answered",
       [](SimulatedUnit& u) { u.faults().probeReply = "No"; },
       [](PtyUnitServer&, int slave) { return ReadingAKey(slave); }, false, false, 4},
      {"during the download, standard output closed", StallAtThirdBlock, WaitingForThirdBlocksReply,
       true, true, 4},
  };
  for (const InterruptCase& c : cases) {
    SCOPED_TRACE(c.name);
    auto unit = std::make_unique<SimulatedUnit>();
    c.setUp(*unit);
    PtyUnitServer server(*unit);
    std::string problem;
    ASSERT_TRUE(server.Open(&problem)) << problem;
    PseudoTerminal console;
    ASSERT_TRUE(console.Open());
    termios before{};
    ASSERT_EQ(tcgetattr(console.slave, &before), 0);
    int out[2] = {-1, -1};
    ChildPlan plan;
    plan.serialPath = server.devicePath();
    plan.terminal = console.slave;
    plan.shortDivisor = c.shortDivisor;
    if (c.stdoutClosed) {
      ASSERT_EQ(pipe(out), 0);
      plan.output = out[1];
    }
    int go = -1;
    pid_t child = StartUpdater(plan, &go);
    ASSERT_GT(child, 0);
    if (c.stdoutClosed) {
      close(out[0]);
      close(out[1]);
    }
    ASSERT_TRUE(server.Start(&problem)) << problem;
    Release(go);

    std::string text;
    const bool reached = WaitUntil(
        [&] {
          Collect(console.master, &text);
          return c.moment(server, console.slave);
        },
        20000);
    ASSERT_TRUE(WriteText(console.master, "\x03"));
    const ChildEnd end = WaitForChild(child, 5000);
    text += ReadFor(console.master, 100);
    ASSERT_TRUE(reached) << "the moment never came; console:\n" << text;
    EXPECT_EQ(end.status, kStatusInterrupted) << text;

    if (c.unitAnswered) {
      EXPECT_TRUE(WaitUntil(
          [&] { return server.WithUnit([](SimulatedUnit& u) { return u.leftUpdateMode(); }); },
          2000));
    } else {
      timespec pause{0, 200 * 1000000};
      nanosleep(&pause, nullptr);
    }
    server.Stop();
    EXPECT_EQ(CountOf(*unit, "X"), c.unitAnswered ? 1u : 0u);
    if (c.unitAnswered) {
      EXPECT_EQ(unit->Commands().back(), "X");
    } else {
      EXPECT_EQ(unit->Commands(), std::vector<std::string>{"E"});
    }
    EXPECT_FALSE(unit->flashed());
    if (!c.stdoutClosed) {
      EXPECT_NE(text.find(kInterrupted), std::string::npos) << text;
    }
    ExpectSameTerminal(before, console.slave);
  }
}

TEST(Stress, UpdateWithItsStandardOutputClosedStillRunsToItsEnd) {
  // Nobody reads the text any more (a closed pipe): the run goes on, takes its keys from the
  // terminal, flashes, and leaves the terminal as it found it.
  auto unit = std::make_unique<SimulatedUnit>();
  PutProUnitOn(*unit, 0x020904);  // already on the payload's release: the run asks first
  PtyUnitServer server(*unit);
  std::string problem;
  ASSERT_TRUE(server.Open(&problem)) << problem;
  PseudoTerminal console;
  ASSERT_TRUE(console.Open());
  termios before{};
  ASSERT_EQ(tcgetattr(console.slave, &before), 0);
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  ChildPlan plan;
  plan.serialPath = server.devicePath();
  plan.terminal = console.slave;
  plan.output = out[1];
  int go = -1;
  pid_t child = StartUpdater(plan, &go);
  ASSERT_GT(child, 0);
  close(out[0]);
  close(out[1]);
  ASSERT_TRUE(server.Start(&problem)) << problem;
  Release(go);

  std::string echoed;
  for (char key : {'y', 'q'}) {
    ASSERT_TRUE(WaitUntil(
        [&] {
          Collect(console.master, &echoed);
          return ReadingAKey(console.slave);
        },
        30000))
        << "no key wait for '" << key << "'";
    ASSERT_TRUE(WriteText(console.master, std::string(1, key)));
    ASSERT_TRUE(WaitUntil([&] { return !ReadingAKey(console.slave); }, 5000));
  }
  const ChildEnd end = WaitForChild(child, 10000);
  Collect(console.master, &echoed);
  server.Stop();
  EXPECT_EQ(end.status, 1);
  EXPECT_TRUE(unit->flashed());
  EXPECT_EQ(unit->Commands().back(), "F5382");
  EXPECT_EQ(echoed, "");  // neither key was echoed, and no text came to the terminal
  ExpectSameTerminal(before, console.slave);
}

}  // namespace
}  // namespace quorel
