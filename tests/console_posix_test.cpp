// The real console and the interrupt handling, run in child processes: keys from a
// pseudo-terminal without echo and with the terminal's settings put back, end of input from
// pipes and /dev/null, output to pipes (also closed ones), and what Ctrl-C and the termination
// signals leave behind on the console and on the serial line.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>
#include <utmp.h>

#include <cstdio>
#include <memory>
#include <string>

#include "console/terminal_console.h"
#include "os/interrupt.h"
#include "os/posix_serial.h"
#include "support/posix_child.h"

namespace quorel {
namespace {

using testing::ForkChild;
using testing::PseudoTerminal;
using testing::ReadFor;
using testing::WaitChild;
using testing::WaitUntil;
using testing::WriteText;

const char kNotFlashed[] = "\nInterrupted. The unit was not flashed. Update exiting\n";
const char kAfterFlash[] = "\nInterrupted after the flash command was sent.\n";

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

TEST(TerminalConsole, CtrlCDuringAKeyWaitPutsTheTerminalBackAndEnds) {
  PseudoTerminal pty;
  ASSERT_TRUE(pty.Open());
  termios before;
  ASSERT_EQ(tcgetattr(pty.slave, &before), 0);

  pid_t child = StartKeyReader(pty);
  ASSERT_GT(child, 0);
  ASSERT_TRUE(WaitUntil([&] { return InKeyMode(pty.slave); }));
  ASSERT_TRUE(WriteText(pty.master, "\x03"));
  EXPECT_EQ(WaitChild(child), kInterruptedExitStatus);

  // The message is written after the settings are back, so the terminal turns its line feeds
  // into CR LF again.
  EXPECT_EQ(ReadFor(pty.master, 30),
            "\r\nInterrupted. The unit was not flashed. Update exiting\r\n");
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

struct InterruptCase {
  const char* name;
  int signalNumber;
  bool unitAnswered;
  bool flashSent;
  bool portClosed;
  const char* onLine;   // what the unit receives
  const char* message;  // what the console shows
};

TEST(Interrupt, LeavesTheUnitsUpdateModeOnlyWhenItAnsweredAndWasNotFlashed) {
  const InterruptCase cases[] = {
      {"answered", SIGINT, true, false, false, "X", kNotFlashed},
      {"terminated", SIGTERM, true, false, false, "X", kNotFlashed},
      {"hung up", SIGHUP, true, false, false, "X", kNotFlashed},
      {"no answer yet", SIGINT, false, false, false, "", kNotFlashed},
      {"flash sent", SIGINT, true, true, false, "", kAfterFlash},
      {"port closed", SIGINT, true, false, true, "", kNotFlashed},
  };
  for (const InterruptCase& c : cases) {
    SCOPED_TRACE(c.name);
    PseudoTerminal serial;
    ASSERT_TRUE(serial.Open());
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    pid_t child = ForkChild([&] {
      close(out[0]);
      if (dup2(out[1], STDOUT_FILENO) < 0) return 90;
      UseDefaultSignals();
      TerminalConsole console;
      PosixSerialDevices devices([&console](const std::string& line) { console.Error(line); });
      devices.MapPort("COM1", serial.slavePath);
      std::unique_ptr<SerialLine> line;
      if (devices.Open("COM1", 9600, 0, &line) != kOpenOk) return 91;
      NoteUnitAnswered(c.unitAnswered);
      if (c.flashSent) NoteFlashSent();
      if (c.portClosed) line.reset();
      raise(c.signalNumber);
      return 92;
    });
    close(out[1]);
    EXPECT_EQ(ReadFor(out[0], 5000), c.message);
    close(out[0]);
    EXPECT_EQ(WaitChild(child), kInterruptedExitStatus);
    EXPECT_EQ(ReadFor(serial.master, 30), c.onLine);
  }
}

TEST(Interrupt, CompletesABlockCutShortBeforeTellingTheUnitToLeave) {
  // Interrupted three bytes into an eight-byte block: the unit would take a bare X for the
  // block's fourth byte, so five filler bytes finish the block first.
  PseudoTerminal serial;
  ASSERT_TRUE(serial.Open());
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  pid_t child = ForkChild([&] {
    close(out[0]);
    if (dup2(out[1], STDOUT_FILENO) < 0) return 90;
    UseDefaultSignals();
    TerminalConsole console;
    PosixSerialDevices devices([&console](const std::string& line) { console.Error(line); });
    devices.MapPort("COM1", serial.slavePath);
    std::unique_ptr<SerialLine> line;
    if (devices.Open("COM1", 9600, 0, &line) != kOpenOk) return 91;
    NoteUnitAnswered(true);
    line->Write(reinterpret_cast<const uint8_t*>("A000000D"), 8);
    devices.NoteBlockData(8);
    line->Write(reinterpret_cast<const uint8_t*>("abc"), 3);
    raise(SIGINT);
    return 92;
  });
  close(out[1]);
  EXPECT_EQ(ReadFor(out[0], 5000), kNotFlashed);
  close(out[0]);
  EXPECT_EQ(WaitChild(child), kInterruptedExitStatus);
  EXPECT_EQ(ReadFor(serial.master, 30), std::string("A000000Dabc\0\0\0\0\0X", 17));
}

TEST(Interrupt, ASignalIgnoredAtStartStaysIgnored) {
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  pid_t child = ForkChild([&] {
    close(out[0]);
    if (dup2(out[1], STDOUT_FILENO) < 0) return 90;
    UseDefaultSignals();
    signal(SIGHUP, SIG_IGN);  // as under nohup
    TerminalConsole console;
    raise(SIGHUP);
    console.Write("running", 7);
    raise(SIGTERM);
    return 92;
  });
  close(out[1]);
  EXPECT_EQ(ReadFor(out[0], 5000), std::string("running") + kNotFlashed);
  close(out[0]);
  EXPECT_EQ(WaitChild(child), kInterruptedExitStatus);
}

}  // namespace
}  // namespace quorel
