// Serial lines of the POSIX device layer over real pseudo-terminals: the settings a line leaves
// on the device at every speed of the ladder, exclusive use, bytes in both directions, the
// failure codes and their one-line reports, and a device that disappears under an open line.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "os/clock.h"
#include "os/serial_port_list_linux.h"
#include "os/serial_posix.h"
#include "os/termios2_linux.h"
#include "serial/link.h"
#include "serial/serial_port.h"
#include "support/posix_child.h"

namespace quorel {
namespace {

using testing::PseudoTerminal;
using testing::ReadFor;
using testing::WaitUntil;
using testing::WriteText;

const char kInUse[] =
    "the port is in use by another program (a terminal program, ModemManager probing a new "
    "adapter, or brltty, which claims some USB-serial adapters)";

class PosixSerialTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.Open());
    devices.MapPort("COM1", pty.slavePath);
  }

  OpenResult OpenCom1(int32_t speed, std::unique_ptr<SerialLine>* line) {
    return devices.Open("COM1", speed, 0, line);
  }

  std::string Report(const std::string& reason) const {
    return "quorel-update: cannot open " + pty.slavePath + ": " + reason;
  }

  PseudoTerminal pty;
  std::vector<std::string> reports;
  PosixSerialDevices devices{[this](const std::string& line) { reports.push_back(line); }};
};

TEST_F(PosixSerialTest, EverySpeedOfTheLadderIsAppliedExactlyOnARawEightNOneLine) {
  // Start from a cooked line with everything switched on that the unit's line must not have.
  termios cooked;
  ASSERT_EQ(tcgetattr(pty.slave, &cooked), 0);
  cooked.c_cflag = (cooked.c_cflag & ~static_cast<tcflag_t>(CSIZE | CLOCAL)) | CS7 | PARENB |
                   PARODD | CSTOPB | CRTSCTS | HUPCL;
  cooked.c_iflag |= IXON | IXOFF | IXANY | ICRNL | INLCR | ISTRIP;
  cooked.c_oflag |= OPOST;
  cooked.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
  ASSERT_EQ(tcsetattr(pty.slave, TCSANOW, &cooked), 0);

  for (int32_t speed : {28800, 14400, 9600, 4800, 2400, 1000, 28800}) {
    SCOPED_TRACE(speed);
    std::unique_ptr<SerialLine> line;
    ASSERT_EQ(OpenCom1(speed, &line), kOpenOk);
    ASSERT_TRUE(line);

    uint32_t outputSpeed = 0;
    uint32_t inputSpeed = 0;
    ASSERT_EQ(ReadLineSpeed(pty.slave, &outputSpeed, &inputSpeed), 0);
    EXPECT_EQ(outputSpeed, static_cast<uint32_t>(speed));
    EXPECT_EQ(inputSpeed, static_cast<uint32_t>(speed));

    termios applied;
    ASSERT_EQ(tcgetattr(pty.slave, &applied), 0);
    EXPECT_EQ(applied.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(applied.c_cflag & (PARENB | CSTOPB | CRTSCTS | HUPCL), 0u);
    EXPECT_EQ(applied.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(applied.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP), 0u);
    EXPECT_EQ(applied.c_oflag & OPOST, 0u);
    EXPECT_EQ(applied.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(applied.c_cc[VMIN], 1);
    EXPECT_EQ(applied.c_cc[VTIME], 0);
  }
  EXPECT_TRUE(reports.empty());
}

TEST_F(PosixSerialTest, BytesPassUntouchedInBothDirections) {
  std::unique_ptr<SerialLine> line;
  ASSERT_EQ(OpenCom1(9600, &line), kOpenOk);
  EXPECT_EQ(line->BytesPending(), 0u);

  // Line ends, control characters, XON/XOFF, erase, NUL and 0xFF: a raw line keeps them all.
  const std::string fromUnit("Ok\r\n\x03\x11\x13\x7f\x00\xff", 10);
  ASSERT_TRUE(WriteText(pty.master, fromUnit));
  ASSERT_TRUE(WaitUntil([&] { return line->BytesPending() == fromUnit.size(); }));
  uint8_t received[16] = {};
  ASSERT_EQ(line->Read(received, fromUnit.size()), fromUnit.size());
  EXPECT_EQ(std::string(reinterpret_cast<char*>(received), fromUnit.size()), fromUnit);
  EXPECT_EQ(line->BytesPending(), 0u);

  // Only what is asked for is read; the rest stays waiting.
  ASSERT_TRUE(WriteText(pty.master, "HOk"));
  ASSERT_TRUE(WaitUntil([&] { return line->BytesPending() == 3; }));
  ASSERT_EQ(line->Read(received, 2), 2u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(received), 2), "HO");
  EXPECT_EQ(line->BytesPending(), 1u);

  const std::string toUnit("B028800\nX\r\x13\x00", 12);
  line->Write(reinterpret_cast<const uint8_t*>(toUnit.data()), toUnit.size());
  line->DrainOutput();
  EXPECT_EQ(ReadFor(pty.master, 1000, toUnit.size()), toUnit);
  EXPECT_FALSE(line->Lost());
}

TEST_F(PosixSerialTest, PortIsHeldExclusively) {
  std::unique_ptr<SerialLine> first;
  ASSERT_EQ(OpenCom1(9600, &first), kOpenOk);

  std::unique_ptr<SerialLine> second;
  EXPECT_EQ(OpenCom1(9600, &second), kOpenFailed);
  EXPECT_FALSE(second);
  EXPECT_TRUE(devices.LastOpenInUse());
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0], Report(kInUse));

  // The refused open left the first line alone.
  const uint8_t probe = 'E';
  first->Write(&probe, 1);
  EXPECT_EQ(ReadFor(pty.master, 1000, 1), "E");

  first.reset();
  ASSERT_EQ(OpenCom1(28800, &second), kOpenOk);
  second.reset();

  // Another program's lock on the device keeps us out until it lets go.
  int other = open(pty.slavePath.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(other, 0);
  ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(OpenCom1(9600, &first), kOpenFailed);
  EXPECT_FALSE(first);
  close(other);
  EXPECT_EQ(OpenCom1(9600, &first), kOpenOk);
  EXPECT_FALSE(devices.LastOpenInUse());
  first.reset();
  // So does its exclusive mode without a lock, also for a program allowed past it (root).
  other = open(pty.slavePath.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(other, 0);
  ASSERT_EQ(ioctl(other, TIOCEXCL), 0);
  EXPECT_EQ(OpenCom1(9600, &first), kOpenFailed);
  EXPECT_TRUE(devices.LastOpenInUse());
  ioctl(other, TIOCNXCL);
  close(other);
  // After a good open a failure is news again, so all were reported.
  ASSERT_EQ(reports.size(), 3u);
  EXPECT_EQ(reports[1], Report(kInUse));
  EXPECT_EQ(reports[2], reports[1]);
}

TEST_F(PosixSerialTest, FailedOpensGiveTheirCodeAndOneLineReportEach) {
  std::unique_ptr<SerialLine> line;
  devices.MapPort("COM2", "/nonexistent/quorel-tty");
  EXPECT_EQ(devices.Open("COM2", 9600, 0, &line), kOpenFailed);
  EXPECT_FALSE(line);
  // The speed ladder tries the same port again and again: one report only.
  EXPECT_EQ(devices.Open("COM2", 28800, 0, &line), kOpenFailed);
  devices.MapPort("COM3", "/dev/null");
  EXPECT_EQ(devices.Open("COM3", 9600, 0, &line), kOpenFailed);
  EXPECT_EQ(devices.Open("COM7", 9600, 0, &line), kOpenFailed);
  EXPECT_EQ(devices.Open(nullptr, 9600, 0, &line), kOpenNoName);
  // A speed no line can run at is refused after the open, and the device is let go again.
  EXPECT_EQ(OpenCom1(0, &line), kOpenLineSettingsFailed);
  EXPECT_FALSE(line);
  EXPECT_FALSE(devices.LastOpenInUse());
  EXPECT_EQ(OpenCom1(9600, &line), kOpenOk);

  const std::vector<std::string> expected = {
      "quorel-update: cannot open /nonexistent/quorel-tty: No such file or directory "
      "(quorel-update --list-ports shows the serial ports of this machine)",
      "quorel-update: cannot open /dev/null: not a serial device",
      "quorel-update: cannot open COM7: there is no such port",
      Report("the driver refused the line settings (0 bit/s): Invalid argument"),
  };
  EXPECT_EQ(reports, expected);
}

TEST_F(PosixSerialTest, SerialPortOverTheDevicesKeepsItsClosedPortHarmless) {
  SerialPort port(devices);
  ASSERT_EQ(port.Open("COM1", 9600, 0), kOpenOk);
  EXPECT_TRUE(port.IsOpen());
  // No name: 16, and the port that was open is closed and its device let go.
  EXPECT_EQ(port.Open(nullptr, 9600, 0), kOpenNoName);
  EXPECT_FALSE(port.IsOpen());
  std::unique_ptr<SerialLine> line;
  ASSERT_EQ(OpenCom1(9600, &line), kOpenOk);

  // The device is taken now, so the port's open fails and everything on it does nothing.
  EXPECT_EQ(port.Open("COM1", 9600, 0), kOpenFailed);
  EXPECT_FALSE(port.IsOpen());
  ASSERT_TRUE(WriteText(pty.master, "Ok"));
  ASSERT_TRUE(WaitUntil([&] { return line->BytesPending() == 2; }));
  uint8_t buffer[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(port.BytesPending(), 0u);
  EXPECT_EQ(port.Read(buffer, 2), 0u);
  EXPECT_EQ(buffer[0], 'a');
  port.SendByte('E');
  EXPECT_EQ(ReadFor(pty.master, 20), "");
}

TEST_F(PosixSerialTest, LineWhoseDeviceGoesAwayIsLostAndStopsTrying) {
  SerialPort port(devices);
  ASSERT_EQ(port.Open("COM1", 9600, 0), kOpenOk);
  EXPECT_FALSE(port.Lost());
  uint64_t start = SystemClock().NowNs();

  pty.CloseMaster();
  EXPECT_EQ(port.BytesPending(), 0u);
  EXPECT_TRUE(port.Lost());
  std::vector<uint8_t> block(4096, 0x55);
  for (int i = 0; i < 100; ++i) port.Write(block.data(), static_cast<uint32_t>(block.size()));
  uint8_t buffer[8];
  EXPECT_EQ(port.Read(buffer, sizeof buffer), 0u);
  port.DrainOutput();
  port.Close();
  EXPECT_LT(SystemClock().NowNs() - start, 500 * kNsPerMs);
}

TEST_F(PosixSerialTest, WriteNoticesADeviceThatWentAway) {
  std::unique_ptr<SerialLine> line;
  ASSERT_EQ(OpenCom1(9600, &line), kOpenOk);
  pty.CloseMaster();
  const uint8_t probe = 'E';
  line->Write(&probe, 1);
  EXPECT_TRUE(line->Lost());
  uint8_t buffer[4];
  EXPECT_EQ(line->Read(buffer, 4), 0u);
}

TEST_F(PosixSerialTest, PromptReplyWaitsBlockRatherThanSpin) {
  SerialPort port(devices);
  ASSERT_EQ(port.Open("COM1", 28800, 0), kOpenOk);
  port.RequestLowLatency();  // a pseudo-terminal refuses it, which must not matter
  auto cpuNs = [] {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000ull + static_cast<uint64_t>(now.tv_nsec);
  };
  char buffer[32];
  // Nothing arrives, then a reply that stays partial: each wait runs its 320 ms using a small
  // fraction of that in processor time.
  uint64_t before = cpuNs();
  EXPECT_EQ(ReadReply(buffer, port, 20, SystemClock(), ReplyPace::kPrompt), 0);
  EXPECT_LT(cpuNs() - before, 32ull * kNsPerMs);
  ASSERT_TRUE(WriteText(pty.master, "Ok"));
  ASSERT_TRUE(WaitUntil([&] { return port.BytesPending() == 2; }));
  before = cpuNs();
  EXPECT_EQ(ReadReply(buffer, port, 20, SystemClock(), ReplyPace::kPrompt), 2);
  EXPECT_STREQ(buffer, "Ok");
  EXPECT_LT(cpuNs() - before, 32ull * kNsPerMs);
}

TEST_F(PosixSerialTest, AcceptsADriversRateWithinTwoPercentAndAFollowedLink) {
  // A driver that applies its own rate: 2 % above the asked one, or one bit/s more than that.
  uint32_t extra = 0;
  PosixSerialDevices rounding(
      [this](const std::string& line) { reports.push_back(line); },
      [&extra](int fd, uint32_t speed, uint32_t* output, uint32_t* input) {
        int error = SetAndReadLineSpeed(fd, speed, output, input);
        *output = *input = speed + speed / 50 + extra;
        return error;
      });
  // Reached through a symbolic link, as through /dev/serial/by-id/.
  const std::string link = ::testing::TempDir() + "quorel-by-id-link";
  unlink(link.c_str());
  ASSERT_EQ(symlink(pty.slavePath.c_str(), link.c_str()), 0);
  rounding.MapPort("COM1", link);
  EXPECT_EQ(rounding.DeviceName("COM1"), pty.slavePath);

  std::unique_ptr<SerialLine> line;
  ASSERT_EQ(rounding.Open("COM1", 28800, 0, &line), kOpenOk);
  EXPECT_EQ(line->AppliedSpeed(), 29376u);
  line.reset();
  extra = 1;
  EXPECT_EQ(rounding.Open("COM1", 28800, 0, &line), kOpenLineSettingsFailed);
  EXPECT_FALSE(line);
  unlink(link.c_str());
  const std::vector<std::string> expected = {
      "quorel-update: cannot open " + link + " (" + pty.slavePath +
      "): the driver cannot run the line at 28800 bit/s: it applied 29377 bit/s, more than "
      "2 % off"};
  EXPECT_EQ(reports, expected);
}

// A fake sysfs and /dev: a USB adapter with a stable link, an ACM device, a built-in UART, a
// ttyS without a UART, a tty whose device has no driver, and a virtual terminal.
TEST(SerialPortList, ListsRealPortsWithTheirUsbDetailsFromAFakeTree) {
  const std::string root = ::testing::TempDir() + "quorel-fake-tree";
  const std::string script = "set -e; rm -rf \"$0\"; mkdir -p \"$0\"; cd \"$0\"; "
      "U=sys/devices/usb1/1-2; A=sys/devices/usb1/1-3; P=sys/devices/platform/serial8250; "
      "mkdir -p $U/1-2:1.0/ttyUSB0 $A/1-3:1.0 $P sys/devices/orphan dev/serial/by-id "
      "sys/drivers/ftdi sys/drivers/acm sys/drivers/8250; "
      "for t in ttyUSB0 ttyACM0 ttyS0 ttyS1 ttyX0 tty1; do mkdir -p sys/class/tty/$t; "
      ": > dev/$t; done; "
      "echo 1a2b > $U/idVendor; echo 3c4d > $U/idProduct; echo Maker Ltd > $U/manufacturer; "
      "echo USB Serial Cable > $U/product; echo A1B2C3 > $U/serial; echo 5e6f > $A/idVendor; "
      "echo 0001 > $A/idProduct; echo 4 > sys/class/tty/ttyS0/type; "
      "echo 0 > sys/class/tty/ttyS1/type; "
      "ln -s $PWD/sys/drivers/ftdi $U/1-2:1.0/ttyUSB0/driver; "
      "ln -s $PWD/sys/drivers/acm $A/1-3:1.0/driver; ln -s $PWD/sys/drivers/8250 $P/driver; "
      "ln -s $PWD/$U/1-2:1.0/ttyUSB0 sys/class/tty/ttyUSB0/device; "
      "ln -s $PWD/$A/1-3:1.0 sys/class/tty/ttyACM0/device; "
      "ln -s $PWD/$P sys/class/tty/ttyS0/device; ln -s $PWD/$P sys/class/tty/ttyS1/device; "
      "ln -s $PWD/sys/devices/orphan sys/class/tty/ttyX0/device; "
      "ln -s ../../ttyUSB0 dev/serial/by-id/usb-Maker_Ltd_USB_Serial_Cable_A1B2C3-if00-port0";
  ASSERT_EQ(std::system(("sh -c '" + script + "' '" + root + "'").c_str()), 0);
  const std::string dev = root + "/dev";
  EXPECT_EQ(FormatPortList(ListSerialPorts(root + "/sys", dev)),
            dev + "/ttyACM0  USB 5e6f:0001\n" + dev + "/ttyS0  built-in UART\n" + dev +
                "/ttyUSB0  USB 1a2b:3c4d  Maker Ltd  USB Serial Cable  serial A1B2C3  " + dev +
                "/serial/by-id/usb-Maker_Ltd_USB_Serial_Cable_A1B2C3-if00-port0\n");
  // --port auto asks the USB adapters first.
  const std::vector<std::string> candidates = {dev + "/ttyACM0", dev + "/ttyUSB0", dev + "/ttyS0"};
  EXPECT_EQ(CandidatePorts(ListSerialPorts(root + "/sys", dev)), candidates);
  EXPECT_EQ(FormatPortList(ListSerialPorts(root + "/none", root + "/none")),
            "No serial ports found (a USB-serial adapter shows up here once it is plugged in).\n");
}

TEST(DevicePathForPort, NamesTheFourComPortsAndNothingElse) {
  EXPECT_EQ(DevicePathForPort("COM1"), "/dev/ttyS0");
  EXPECT_EQ(DevicePathForPort("COM2"), "/dev/ttyS1");
  EXPECT_EQ(DevicePathForPort("COM4"), "/dev/ttyS3");
  for (const char* name : {"COM0", "COM5", "COM10", "COM", "com1", "", "/dev/ttyS0"}) {
    EXPECT_EQ(DevicePathForPort(name), "") << name;
  }
  EXPECT_EQ(DevicePathForPort(nullptr), "");
}

volatile sig_atomic_t gAlarms = 0;
void CountSignal(int) { gAlarms = gAlarms + 1; }

TEST(SystemClock, SleepsTheWholeSpanEvenWhenASignalCutsIn) {
  gAlarms = 0;
  struct sigaction counting = {};
  counting.sa_handler = CountSignal;  // returns, and without SA_RESTART the sleep is cut short
  struct sigaction previous = {};
  ASSERT_EQ(sigaction(SIGALRM, &counting, &previous), 0);
  itimerval once = {};
  once.it_value.tv_usec = 3000;
  ASSERT_EQ(setitimer(ITIMER_REAL, &once, nullptr), 0);

  Clock& clock = SystemClock();
  uint64_t start = clock.NowNs();
  clock.SleepNs(15 * kNsPerMs);
  uint64_t slept = clock.NowNs() - start;
  sigaction(SIGALRM, &previous, nullptr);

  EXPECT_EQ(gAlarms, 1);
  EXPECT_GE(slept, 15 * kNsPerMs);
  EXPECT_LT(slept, 500 * kNsPerMs);
}

}  // namespace
}  // namespace quorel
