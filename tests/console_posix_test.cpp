// The real console and the interrupt handling, run in child processes: keys from a
// pseudo-terminal without echo and with the terminal's settings put back, end of input from
// pipes and /dev/null, output to pipes (also closed ones), and what Ctrl-C and the termination
// signals do: raise the cancellation flag, end a sleep or a key read at once, let a block write
// hand over every byte, and leave the terminal as it was.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>
#include <utmp.h>

#include <cstdio>
#include <memory>
#include <string>

#include "console/console_posix.h"
#include "driver/driver.h"
#include "os/cancel.h"
#include "os/clock.h"
#include "os/serial_posix.h"
#include "payload/payload.h"
#include "support/posix_child.h"

namespace quorel {
namespace {

using testing::ForkChild;
using testing::PseudoTerminal;
using testing::ReadFor;
using testing::WaitChild;
using testing::WaitUntil;
using testing::WriteText;

// The handlers leave alone a signal that was ignored when the program started (a background job
// of a shell without job control ignores SIGINT and SIGQUIT). Children that test the handlers
// start from the default dispositions, whatever the test runner was started with.
void UseDefaultSignals() {
  for (int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) signal(signalNumber, SIG_DFL);
}

// A child whose stdin, stdout and stderr are the pseudo-terminal's slave, which is also its
// controlling terminal (so Ctrl-C typed on the master reaches it as SIGINT). It reads one key
// and exits with it (200 for end of input).
pid_t StartKeyReader(PseudoTerminal& pty) {
  return ForkChild([&pty] {
    close(pty.master);
    if (login_tty(pty.slave) != 0) return 90;
    UseDefaultSignals();
    TerminalConsole console;
    int key = console.ReadKey();
    return key == Console::kEndOfInput ? 200 : key;
  });
}

bool InKeyMode(int slave) {
  termios now;
  return tcgetattr(slave, &now) == 0 && (now.c_lflag & (ICANON | ECHO)) == 0;
}

TEST(TerminalConsole, ReadsOneKeyWithoutEchoAndPutsTheTerminalBack) {
  PseudoTerminal pty;
  ASSERT_TRUE(pty.Open());
  termios before;
  ASSERT_EQ(tcgetattr(pty.slave, &before), 0);
  ASSERT_NE(before.c_lflag & ECHO, 0u);

  pid_t child = StartKeyReader(pty);
  ASSERT_GT(child, 0);
  ASSERT_TRUE(WaitUntil([&] { return InKeyMode(pty.slave); }));
  termios during;
  ASSERT_EQ(tcgetattr(pty.slave, &during), 0);
  EXPECT_NE(during.c_lflag & ISIG, 0u);  // Ctrl-C must still interrupt
  EXPECT_EQ(during.c_cc[VMIN], 1);

  // No Enter needed: the one key ends the read.
  ASSERT_TRUE(WriteText(pty.master, "q"));
  EXPECT_EQ(WaitChild(child), 'q');
  EXPECT_EQ(ReadFor(pty.master, 30), "");  // nothing echoed

  termios after;
  ASSERT_EQ(tcgetattr(pty.slave, &after), 0);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(after.c_iflag, before.c_iflag);
  EXPECT_EQ(after.c_cc[VMIN], before.c_cc[VMIN]);
  EXPECT_EQ(after.c_cc[VTIME], before.c_cc[VTIME]);
}

TEST(TerminalConsole, CtrlCAtTheKeyPromptPutsTheTerminalBackAndEndsTheRun) {
  PseudoTerminal pty;
  ASSERT_TRUE(pty.Open());
  termios before;
  ASSERT_EQ(tcgetattr(pty.slave, &before), 0);

  // The program's own road to a key wait: a bad option, its message and the key prompt.
  pid_t child = ForkChild([&pty] {
    close(pty.master);
    if (login_tty(pty.slave) != 0) return 90;
    UseDefaultSignals();
    TerminalConsole console;
    PosixSerialDevices devices([&console](const std::string& line) { console.Error(line); });
    UpdateState state(devices, SystemClock(), console, CompiledPayload());
    const char* argv[] = {"quorel-update", "-x"};
    return RunUpdate(state, 2, argv);
  });
  ASSERT_GT(child, 0);
  std::string text;
  ASSERT_TRUE(WaitUntil([&] {
    text += ReadFor(pty.master, 1);
    return InKeyMode(pty.slave);
  }));
  ASSERT_TRUE(WriteText(pty.master, "\x03"));
  EXPECT_EQ(WaitChild(child), 130);

  // The message comes once the settings are back, so nothing of the key shows.
  text += ReadFor(pty.master, 30);
  const std::string ending =
      "-x :Unrecognized option\r\n\r\nPress a key to exit program"
      "\r\nInterrupted. The unit was not flashed. Update exiting\r\n";
  ASSERT_GE(text.size(), ending.size());
  EXPECT_EQ(text.substr(text.size() - ending.size()), ending);
  termios after;
  ASSERT_EQ(tcgetattr(pty.slave, &after), 0);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
}

// Runs body in a child with the given descriptor as its stdin and a pipe as its stdout;
// returns what it wrote there and stores its exit status.
std::string RunWithInput(int input, const std::function<int(TerminalConsole&)>& body,
                         int* status) {
  int out[2];
  if (pipe(out) != 0) return "pipe failed";
  pid_t child = ForkChild([&] {
    close(out[0]);
    if (dup2(input, STDIN_FILENO) < 0 || dup2(out[1], STDOUT_FILENO) < 0) return 90;
    TerminalConsole console;
    return body(console);
  });
  close(out[1]);
  std::string text = ReadFor(out[0], 5000);
  close(out[0]);
  *status = WaitChild(child);
  return text;
}

int ReportTwoKeys(TerminalConsole& console) {
  int first = console.ReadKey();
  int second = console.ReadKey();
  char text[32];
  int length = std::snprintf(text, sizeof text, "%d %d", first, second);
  console.Write(text, static_cast<size_t>(length));
  return 0;
}

TEST(TerminalConsole, KeysFromAPipeOrNullEndInEndOfInput) {
  int in[2];
  ASSERT_EQ(pipe(in), 0);
  ASSERT_TRUE(WriteText(in[1], "y"));
  close(in[1]);
  int status = -1;
  EXPECT_EQ(RunWithInput(in[0], ReportTwoKeys, &status), "121 -1");
  EXPECT_EQ(status, 0);
  close(in[0]);

  int null = open("/dev/null", O_RDONLY);
  ASSERT_GE(null, 0);
  EXPECT_EQ(RunWithInput(null, ReportTwoKeys, &status), "-1 -1");
  EXPECT_EQ(status, 0);
  close(null);
}

TEST(TerminalConsole, WritesEveryByteAndErrorLinesGoToStandardError) {
  std::string big;
  for (int i = 0; i < 200000; ++i) big += static_cast<char>('a' + i % 26);
  int out[2];
  int err[2];
  ASSERT_EQ(pipe(out), 0);
  ASSERT_EQ(pipe(err), 0);
  pid_t child = ForkChild([&] {
    close(out[0]);
    close(err[0]);
    if (dup2(out[1], STDOUT_FILENO) < 0 || dup2(err[1], STDERR_FILENO) < 0) return 90;
    TerminalConsole console;
    console.Write("Downloading", 11);
    for (int i = 0; i < 3; ++i) console.Write(".", 1);
    console.Write(big.data(), big.size());
    console.Error("quorel-update: cannot open COM1 (/dev/ttyS0): No such file or directory");
    return 0;
  });
  close(out[1]);
  close(err[1]);
  // The pipe holds less than the big block, so the child's writes are partial and must go on.
  EXPECT_EQ(ReadFor(out[0], 5000), "Downloading..." + big);
  EXPECT_EQ(ReadFor(err[0], 5000),
            "quorel-update: cannot open COM1 (/dev/ttyS0): No such file or directory\n");
  EXPECT_EQ(WaitChild(child), 0);
  close(out[0]);
  close(err[0]);
}

TEST(TerminalConsole, ClosedStandardOutputDoesNotEndTheProgram) {
  pid_t child = ForkChild([] {
    int out[2];
    if (pipe(out) != 0) return 90;
    close(out[0]);
    int null = open("/dev/null", O_WRONLY);
    if (dup2(out[1], STDOUT_FILENO) < 0 || dup2(null, STDERR_FILENO) < 0) return 91;
    TerminalConsole console;
    console.Write("\nPress a key to exit program", 28);
    console.Write(".", 1);
    console.Error("still here");
    return 7;
  });
  EXPECT_EQ(WaitChild(child), 7);  // not 128 + SIGPIPE
}

// The handlers only raise the cancellation flag: the program goes on to where the driver looks.
TEST(Interrupt, TheSignalsOnlyRaiseTheFlagAndAnIgnoredOneStaysIgnored) {
  for (int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    SCOPED_TRACE(signalNumber);
    pid_t child = ForkChild([signalNumber] {
      UseDefaultSignals();
      TerminalConsole console;
      if (CancelRequested()) return 1;
      raise(signalNumber);
      raise(SIGPIPE);  // ignored: a closed standard output must not end the program
      return CancelRequested() ? 0 : 2;
    });
    EXPECT_EQ(WaitChild(child), 0);
  }

  pid_t child = ForkChild([] {
    UseDefaultSignals();
    signal(SIGHUP, SIG_IGN);  // as under nohup
    TerminalConsole console;
    raise(SIGHUP);
    if (CancelRequested()) return 1;
    raise(SIGTERM);
    return CancelRequested() ? 0 : 2;
  });
  EXPECT_EQ(WaitChild(child), 0);
}

// A child that tells the parent (one byte on ready) that it is about to block, blocks in body,
// and exits with body's result; the parent then sends the signal.
int SignalWhileBlocked(int signalNumber, const std::function<int()>& body) {
  int ready[2];
  if (pipe(ready) != 0) return -2;
  pid_t child = ForkChild([&] {
    close(ready[0]);
    UseDefaultSignals();
    TerminalConsole console;
    if (!WriteText(ready[1], "b")) return 90;
    return body();
  });
  close(ready[1]);
  const bool blocking = ReadFor(ready[0], 5000, 1) == "b";
  close(ready[0]);
  kill(child, signalNumber);
  const int status = WaitChild(child, 20000);
  return blocking ? status : -3;
}

TEST(Interrupt, ASleepAKeyReadAndABlockWriteEndOrGoOnAsTheyShould) {
  // A sleep ends at once (a signal just before the sleep begins included).
  EXPECT_EQ(SignalWhileBlocked(SIGINT,
                               [] {
                                 const uint64_t start = SystemClock().NowNs();
                                 SystemClock().SleepNs(60000 * kNsPerMs);
                                 const bool early = SystemClock().NowNs() - start < 30000 * kNsPerMs;
                                 return early && CancelRequested() ? 0 : 1;
                               }),
            0);

  // A key read from a pipe where no key will come ends too, as end of input.
  int keys[2];
  ASSERT_EQ(pipe(keys), 0);
  EXPECT_EQ(SignalWhileBlocked(SIGTERM,
                               [&] {
                                 if (dup2(keys[0], STDIN_FILENO) < 0) return 91;
                                 TerminalConsole console;
                                 const int key = console.ReadKey();
                                 return key == Console::kEndOfInput && CancelRequested() ? 0 : 1;
                               }),
            0);
  close(keys[0]);
  close(keys[1]);

  // A block write that the signal catches while the port's buffer is full still hands every
  // byte over, in order: the driver's count of a block's bytes relies on it.
  PseudoTerminal serial;
  ASSERT_TRUE(serial.Open());
  std::string block;
  for (int i = 0; i < 200000; ++i) block += static_cast<char>(i * 7 % 251);
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t writer = ForkChild([&] {
    close(ready[0]);
    UseDefaultSignals();
    TerminalConsole console;
    PosixSerialDevices devices(nullptr);
    devices.MapPort("COM1", serial.slavePath);
    std::unique_ptr<SerialLine> line;
    if (devices.Open("COM1", 9600, 0, &line) != kOpenOk) return 91;
    if (!WriteText(ready[1], "b")) return 90;
    line->Write(reinterpret_cast<const uint8_t*>(block.data()), block.size());
    return CancelRequested() ? 0 : 1;
  });
  close(ready[1]);
  ASSERT_EQ(ReadFor(ready[0], 5000, 1), "b");
  close(ready[0]);
  const timespec fill{0, 100 * 1000000};  // time for the write to fill the buffer and block
  nanosleep(&fill, nullptr);
  kill(writer, SIGINT);
  EXPECT_EQ(ReadFor(serial.master, 2000, block.size()), block);
  EXPECT_EQ(WaitChild(writer), 0);
}

}  // namespace
}  // namespace quorel
