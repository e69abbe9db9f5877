#include "os/serial_posix.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "os/posix_io.h"
#include "os/low_latency.h"
#include "os/serial_port_list_linux.h"

namespace quorel {
namespace {

const char kReportPrefix[] = "quorel-update: cannot open ";

// Errors after which the device will not come back: an unplugged adapter, a pseudo-terminal
// whose other side has closed.
bool DeviceGone(int error) {
  return error == EIO || error == ENXIO || error == ENODEV || error == EBADF;
}

// Releases an open device.
void CloseDevice(int fd) {
  // A pseudo-terminal keeps its exclusive mode after our close for as long as its other side
  // is open; lifted here so the next program can open it.
  ioctl(fd, TIOCNXCL);
  // One close, not a retry loop on EINTR: Linux has released the descriptor even when close
  // reports EINTR, and a second close could hit a descriptor opened in the meantime. The
  // flock goes away with the descriptor.
  close(fd);
}

class PosixSerialLine : public SerialLine {
 public:
  PosixSerialLine(int fd, uint32_t appliedSpeed) : fd_(fd), appliedSpeed_(appliedSpeed) {}
  ~PosixSerialLine() override {
    RestoreLatency();
    CloseDevice(fd_);
  }
  PosixSerialLine(const PosixSerialLine&) = delete;
  PosixSerialLine& operator=(const PosixSerialLine&) = delete;

  void Write(const uint8_t* data, size_t count) override {
    if (lost_ || count == 0) return;
    int error = 0;
    // A write that takes nothing ends the call rather than spin on a device that refuses.
    if (WriteAll(fd_, data, count, &error) > 0) writtenSinceDrain_ = true;
    if (error != 0 && DeviceGone(error)) lost_ = true;
  }

  size_t Read(uint8_t* destination, size_t count) override {
    if (lost_ || count == 0) return 0;
    // One blocking read: callers ask only for bytes that are already waiting, and a raw tty
    // read returns as soon as it has any, up to count.
    ssize_t got = RetryOnInterrupt([&] { return ::read(fd_, destination, count); });
    if (got < 0) {
      if (DeviceGone(errno)) lost_ = true;
      return 0;
    }
    // With VMIN 1 a blocking tty read returns 0 only once the line has been hung up.
    if (got == 0) lost_ = true;
    return static_cast<size_t>(got);
  }

  size_t BytesPending() override {
    if (lost_) return 0;
    int pending = 0;
    if (ioctl(fd_, FIONREAD, &pending) != 0) {
      if (DeviceGone(errno)) lost_ = true;
      return 0;
    }
    return pending > 0 ? static_cast<size_t>(pending) : 0;
  }

  void DrainOutput() override {
    // A drain costs a scheduler tick on a real UART even with nothing to send, and the reply
    // waits call this before every wait.
    if (lost_ || !writtenSinceDrain_) return;
    writtenSinceDrain_ = false;
    if (RetryOnInterrupt([&] { return tcdrain(fd_); }) != 0 && DeviceGone(errno)) lost_ = true;
  }

  bool Lost() const override { return lost_; }
  uint32_t AppliedSpeed() const override { return appliedSpeed_; }

  // Blocks in poll on the device (the system clock's time, which is the clock this line is
  // used with). A signal ends the wait early; the caller looks again.
  void WaitForInput(uint64_t timeoutNs, Clock& /*clock*/) override {
    if (lost_) return;
    pollfd watched{fd_, POLLIN, 0};
    const uint64_t ms = (timeoutNs + kNsPerMs - 1) / kNsPerMs;
    int ready = ::poll(&watched, 1, static_cast<int>(ms > 60000 ? 60000 : ms));
    if (ready > 0 && (watched.revents & (POLLERR | POLLNVAL)) != 0) lost_ = true;
  }

  // Only adapters that have the setting take it; a pseudo-terminal refuses the query, and a
  // driver that takes the request may still keep no flag (Linux 6.1's ftdi_sio and 8250 do
  // not). Either way the run goes on as usual.
  void RequestLowLatency() override {
    if (!latencySaved_) latencySaved_ = SetLowLatency(fd_, &savedLatency_);
  }

 private:
  void RestoreLatency() {
    if (latencySaved_) RestoreLowLatency(fd_, savedLatency_);
  }

  int fd_;
  uint32_t appliedSpeed_;
  bool latencySaved_ = false;
  int savedLatency_ = 0;
  bool lost_ = false;
  bool writtenSinceDrain_ = false;
};

// What usually holds a serial port on Linux besides the user's own programs.
const char kInUseReason[] =
    "the port is in use by another program (a terminal program, ModemManager probing a new "
    "adapter, or brltty, which claims some USB-serial adapters)";

std::string ReasonForOpenError(int error) {
  std::string reason = std::strerror(error);
  if (error == EACCES || error == EPERM) {
    reason +=
        " \xE2\x80\x94 the user needs access to the serial device, usually membership of the "
        "dialout group (sudo usermod -aG dialout $USER, then log in again)";
  } else if (error == EBUSY) {
    // Another program holds the port in exclusive mode.
    reason = kInUseReason;
  } else if (error == ENOENT) {
    reason += " (quorel-update --list-ports shows the serial ports of this machine)";
  }
  return reason;
}

// Blocking reads and writes that return as soon as one byte has come: the counterpart of time-outs
// that are all zero. Returns 0 or the errno of the failing call.
int ApplyBlockingMode(int fd) {
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return errno;
  termios settings;
  if (tcgetattr(fd, &settings) != 0) return errno;
  settings.c_cc[VMIN] = 1;
  settings.c_cc[VTIME] = 0;
  if (tcsetattr(fd, TCSANOW, &settings) != 0) return errno;
  return 0;
}

// Raw bytes both ways, 8 data bits, the asked parity, 1 stop bit, the receiver on, modem
// status lines ignored, no hardware or software flow control, DTR kept as it is on close.
// Returns 0, the errno of the failing call, or -1 when the driver kept other settings.
int ApplyRawLine(int fd, int32_t parity) {
  termios settings;
  if (tcgetattr(fd, &settings) != 0) return errno;
  settings.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                             ICRNL | IXON | IXOFF | IXANY | INPCK);
  settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  settings.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | HUPCL);
  settings.c_cflag |= CS8 | CLOCAL | CREAD;
  if (parity == 1) {
    settings.c_cflag |= PARENB | PARODD;
    settings.c_iflag |= INPCK;
  } else if (parity == 2) {
    settings.c_cflag |= PARENB;
    settings.c_iflag |= INPCK;
  }
  settings.c_cc[VMIN] = 1;
  settings.c_cc[VTIME] = 0;
  if (tcsetattr(fd, TCSANOW, &settings) != 0) return errno;

  // tcsetattr succeeds when any part of the request was applied; check the parts that matter.
  termios applied;
  if (tcgetattr(fd, &applied) != 0) return errno;
  const tcflag_t controlMask = CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | CLOCAL | CREAD | HUPCL;
  const tcflag_t inputMask = ICRNL | INLCR | IGNCR | ISTRIP | IXON | IXOFF | IXANY;
  const tcflag_t localMask = ECHO | ICANON | ISIG | IEXTEN;
  if ((applied.c_cflag & controlMask) != (settings.c_cflag & controlMask) ||
      (applied.c_iflag & inputMask) != 0 || (applied.c_lflag & localMask) != 0 ||
      (applied.c_oflag & OPOST) != 0) {
    return -1;
  }
  return 0;
}

// DTR and RTS held off. Opening the device, and leaving speed 0, raise both, so this comes
// after the speed. A device without modem control lines (a pseudo-terminal) is fine as it is.
int DropModemLines(int fd) {
  int lines = TIOCM_DTR | TIOCM_RTS;
  if (ioctl(fd, TIOCMBIC, &lines) == 0) return 0;
  if (errno == ENOTTY || errno == EINVAL) return 0;
  return errno;
}

// Why a device could not be taken, and whether another program holds it.
struct OpenFailure {
  std::string reason;
  bool busy = false;
};

// Opens the device for this program alone. -1, with *failure, when it cannot (nothing left open).
int OpenExclusive(const std::string& path, OpenFailure* failure) {
  // Non-blocking only for the open itself, which could otherwise wait for a carrier signal.
  int fd = RetryOnInterrupt(
      [&] { return ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); });
  if (fd < 0) {
    const int error = errno;
    *failure = {ReasonForOpenError(error), error == EBUSY};
    return -1;
  }
  if (!isatty(fd)) {
    close(fd);
    *failure = {"not a serial device", false};
    return -1;
  }
  // Exclusive use: the flock keeps out every program that locks its ports (this one included,
  // and root); TIOCEXCL makes every other open of the device fail with EBUSY.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int error = errno;
    close(fd);
    *failure = {error == EWOULDBLOCK ? kInUseReason : ReasonForOpenError(error),
                error == EWOULDBLOCK};
    return -1;
  }
#ifdef TIOCGEXCL
  // A program allowed past another's exclusive mode (root) still keeps its hands off the port.
  int exclusive = 0;
  if (ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0) {
    close(fd);
    *failure = {kInUseReason, true};
    return -1;
  }
#endif
  if (ioctl(fd, TIOCEXCL) != 0) {
    int error = errno;
    close(fd);
    *failure = {ReasonForOpenError(error), error == EBUSY};
    return -1;
  }
  return fd;
}

// Sets the line up: blocking reads, raw bytes, the speed (within 2 %), the modem lines off.
// Every step runs even when an earlier one failed; the last failure decides the result and
// *reason. *appliedOutput is the output rate the driver set.
OpenResult ConfigureLine(int fd, int32_t lineSpeed, int32_t parity, const LineSpeedSetter& setSpeed,
                         uint32_t* appliedOutput, std::string* reason) {
  OpenResult result = kOpenOk;
  if (int error = ApplyBlockingMode(fd)) {
    result = kOpenTimeoutsFailed;
    *reason = std::string("cannot set blocking reads: ") + std::strerror(error);
  }
  const std::string speedText =
      "the driver refused the line settings (" + std::to_string(lineSpeed) + " bit/s)";
  if (int error = ApplyRawLine(fd, parity)) {
    result = kOpenLineSettingsFailed;
    *reason = speedText;
    if (error > 0) *reason += std::string(": ") + std::strerror(error);
  }
  // Drivers report the rate they really set (a USB adapter's table, a UART's divider): a
  // rate within 2 % of the asked one talks to the unit; one further off does not.
  uint32_t appliedInput = 0;
  int speedError = lineSpeed > 0 ? setSpeed(fd, static_cast<uint32_t>(lineSpeed),
                                            appliedOutput, &appliedInput)
                                 : EINVAL;
  if (speedError != 0) {
    result = kOpenLineSettingsFailed;
    *reason = speedText + ": " + std::strerror(speedError);
  } else {
    const uint32_t asked = static_cast<uint32_t>(lineSpeed);
    const uint32_t off = SpeedWithinTolerance(asked, *appliedOutput) ? appliedInput : *appliedOutput;
    if (!SpeedWithinTolerance(asked, off)) {
      result = kOpenLineSettingsFailed;
      *reason = "the driver cannot run the line at " + std::to_string(asked) +
                " bit/s: it applied " + std::to_string(off) + " bit/s, more than 2 % off";
    }
  }
  if (int error = DropModemLines(fd)) {
    result = kOpenLineSettingsFailed;
    *reason = std::string("cannot turn DTR and RTS off: ") + std::strerror(error);
  }
  return result;
}

}  // namespace

bool SpeedWithinTolerance(uint32_t asked, uint32_t applied) {
  const uint64_t difference = asked > applied ? asked - applied : applied - asked;
  return difference * 50 <= asked;
}

std::string DevicePathForPort(const char* portName) {
  if (portName == nullptr) return "";
  if (std::strncmp(portName, "COM", 3) != 0) return "";
  char digit = portName[3];
  if (digit < '1' || digit > '4' || portName[4] != '\0') return "";
  return std::string("/dev/ttyS") + static_cast<char>(digit - 1);
}

PosixSerialDevices::PosixSerialDevices(std::function<void(const std::string&)> reportError,
                                       LineSpeedSetter setSpeed, PortLister listPorts)
    : MappedSerialDevices(std::move(reportError)),
      setSpeed_(std::move(setSpeed)),
      listPorts_(std::move(listPorts)) {}

std::string PosixSerialDevices::PathFor(const char* portName) const {
  const std::string* mapped = MappedDevice(portName);
  if (mapped == nullptr) return DevicePathForPort(portName);
  // A link (/dev/serial/by-id/...) is followed now, so the open and every report concern the
  // device itself; a path that does not resolve is opened as given, for its error.
  char resolved[PATH_MAX];
  if (realpath(mapped->c_str(), resolved) != nullptr) return resolved;
  return *mapped;
}

std::string PosixSerialDevices::ListPorts() { return FormatPortList(listPorts_()); }

std::vector<std::string> PosixSerialDevices::PortCandidates() {
  return CandidatePorts(listPorts_());
}

OpenResult PosixSerialDevices::Open(const char* portName, int32_t lineSpeed, int32_t parity,
                                    std::unique_ptr<SerialLine>* line) {
  line->reset();
  if (portName == nullptr) return kOpenNoName;

  std::string path = PathFor(portName);
  if (path.empty()) {
    Report(kReportPrefix + std::string(portName) + ": there is no such port");
    return kOpenFailed;
  }
  // A port the user named by its device is reported by that name (and the device a link
  // leads to); a COMn name with the device behind it.
  const std::string* mapped = MappedDevice(portName);
  std::string label = std::string(portName) + " (" + path + ")";
  if (mapped != nullptr) label = *mapped == path ? path : *mapped + " (" + path + ")";
  const std::string what = kReportPrefix + label + ": ";

  OpenFailure failure;
  const int fd = OpenExclusive(path, &failure);
  if (fd < 0) {
    Report(what + failure.reason, failure.busy);
    return kOpenFailed;
  }
  uint32_t appliedOutput = 0;
  std::string reason;
  const OpenResult result =
      ConfigureLine(fd, lineSpeed, parity, setSpeed_, &appliedOutput, &reason);
  if (result != kOpenOk) {
    CloseDevice(fd);
    Report(what + reason);
    return result;
  }
  OpenSucceeded();
  *line = std::make_unique<PosixSerialLine>(fd, appliedOutput);
  return kOpenOk;
}

}  // namespace quorel
