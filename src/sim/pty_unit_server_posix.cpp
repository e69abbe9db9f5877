#include "sim/pty_unit_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "os/clock.h"
#include "os/posix_io.h"
#include "os/termios2_linux.h"

namespace quorel::sim {

namespace {

// Start bit, eight data bits, stop bit.
constexpr uint64_t kBitsPerByte = 10;
constexpr uint64_t kNsPerSecond = 1000000000;
// A speed command is "B" and six decimal digits.
constexpr int kSpeedCommandLength = 7;
// Paced, the program's writes are held back while the unit's receiver is busy; on a loaded
// machine the hold can let a burst through before the server gets to close it again. The
// receiver then catches up so that it is never more than this many byte times behind the
// program: a reply never comes later than that after the command, which is what a program that
// times its reply waits from its last write relies on (a real UART drains before it returns).
constexpr uint64_t kMaxReceiveBacklogBytes = 32;
// With stopWhenDone the loop looks at the unit at least this often.
constexpr uint64_t kDoneCheckNs = 100 * kNsPerMs;

uint64_t ByteTimeNs(uint32_t speed) { return speed == 0 ? 0 : kBitsPerByte * kNsPerSecond / speed; }

// Follows the bytes a program sends for runs of "B" and digits: the length of the run so far,
// kSpeedCommandLength once a whole speed command has gone by.
int NextSpeedCommandState(int state, uint8_t byte) {
  if (state >= 1 && state < kSpeedCommandLength && byte >= '0' && byte <= '9') return state + 1;
  return byte == 'B' ? 1 : 0;
}

void CloseFd(int* fd) {
  if (*fd >= 0) close(*fd);
  *fd = -1;
}

std::string SystemError(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

}  // namespace

PtyUnitServer::PtyUnitServer(SimulatedUnit& unit, PtyServeOptions options)
    : unit_(unit), options_(options) {}

PtyUnitServer::~PtyUnitServer() {
  Stop();
  CloseAll();
}

void PtyUnitServer::CloseAll() {
  if (slave_ >= 0 && !writerFlowing_) SetWriterFlow(true);
  CloseFd(&inotify_);
  CloseFd(&wake_);
  CloseFd(&slave_);
  CloseFd(&master_);
}

uint64_t PtyUnitServer::Now() const { return SystemClock().NowNs(); }

bool PtyUnitServer::Open(std::string* error) {
  if (master_ >= 0) {
    *error = "the pseudo-terminal is already open";
    return false;
  }
  // Close-on-exec from the start: programs started by the owner must not inherit either side.
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0) {
    *error = SystemError("cannot create a pseudo-terminal");
    return false;
  }
  char name[128] = {};
  if (grantpt(master_) != 0 || unlockpt(master_) != 0 ||
      ptsname_r(master_, name, sizeof name) != 0) {
    *error = SystemError("cannot unlock the pseudo-terminal");
    CloseAll();
    return false;
  }
  devicePath_ = name;
  slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave_ < 0) {
    *error = SystemError(("cannot open " + devicePath_).c_str());
    CloseAll();
    return false;
  }
  // Raw at the unit's first-contact speed: no echo of replies back to the server, no line
  // editing, whatever program opens the device next.
  termios settings{};
  if (tcgetattr(slave_, &settings) == 0) {
    cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&settings, B9600);
    cfsetospeed(&settings, B9600);
    tcsetattr(slave_, TCSANOW, &settings);
  }
  int flags = fcntl(master_, F_GETFL);
  if (flags < 0 || fcntl(master_, F_SETFL, flags | O_NONBLOCK) != 0) {
    *error = SystemError("cannot make the pseudo-terminal non-blocking");
    CloseAll();
    return false;
  }
  // Without the watch the server still serves; it only cannot tell opens and closes apart.
  inotify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (inotify_ >= 0 && inotify_add_watch(inotify_, name, IN_OPEN | IN_CLOSE) < 0) {
    CloseFd(&inotify_);
  }
  return FinishOpen(error);
}

bool PtyUnitServer::OpenDevice(const std::string& path, std::string* error) {
  if (master_ >= 0) {
    *error = "the server already has a device";
    return false;
  }
  master_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (master_ < 0) {
    *error = SystemError(("cannot open " + path).c_str());
    return false;
  }
  termios settings{};
  if (tcgetattr(master_, &settings) != 0) {
    *error = SystemError((path + " is no terminal device").c_str());
    CloseAll();
    return false;
  }
  // Raw, so no byte of the protocol is taken as a line-editing or flow-control character.
  cfmakeraw(&settings);
  settings.c_cflag |= CLOCAL | CREAD;
  settings.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS | HUPCL);
  if (tcsetattr(master_, TCSANOW, &settings) != 0) {
    *error = SystemError(("cannot make " + path + " raw").c_str());
    CloseAll();
    return false;
  }
  // What the line carried before the unit was there is not heard by it.
  tcflush(master_, TCIFLUSH);
  devicePath_ = path;
  // The speed this end is set to says nothing about the program's end of the line.
  options_.followSpeedCommands = true;
  return FinishOpen(error);
}

bool PtyUnitServer::FinishOpen(std::string* error) {
  wake_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake_ < 0) {
    *error = SystemError("cannot create an event descriptor");
    CloseAll();
    return false;
  }
  framingSpeed_ =
      options_.followSpeedCommands ? SimulatedUnit::kFirstContactSpeed : PortSpeed(false);
  originNs_ = Now();
  return true;
}

bool PtyUnitServer::Start(std::string* error) {
  if (master_ < 0) {
    *error = "the pseudo-terminal is not open";
    return false;
  }
  if (running_.exchange(true)) {
    *error = "the server is already running";
    return false;
  }
  thread_ = std::thread([this] {
    Loop();
    running_.store(false);
  });
  return true;
}

bool PtyUnitServer::Serve() {
  if (master_ < 0 || running_.exchange(true)) return false;
  Loop();
  running_.store(false);
  return true;
}

void PtyUnitServer::RequestStop() {
  // Only an atomic store and a write: both may run inside a signal handler.
  stopRequested_.store(true);
  if (wake_ >= 0) {
    uint64_t one = 1;
    ssize_t ignored = write(wake_, &one, sizeof one);
    (void)ignored;
  }
}

void PtyUnitServer::Stop() {
  if (!thread_.joinable()) return;
  RequestStop();
  thread_.join();
}

PtyServerStats PtyUnitServer::stats() {
  PtyServerStats copy;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    copy = stats_;
  }
  copy.portSpeed = master_ >= 0 ? PortSpeed(false) : 0;
  return copy;
}

uint32_t PtyUnitServer::PortSpeed(bool input) const {
  if (options_.followSpeedCommands) return framingSpeed_;
  uint32_t output = 0;
  uint32_t in = 0;
  if (ReadLineSpeed(master_, &output, &in) != 0) return 0;
  // An input speed of 0 means "the same as the output speed".
  return input && in != 0 ? in : output;
}

void PtyUnitServer::Loop() {
  for (;;) {
    if (stopRequested_.load()) break;
    uint64_t now = Now();
    FeedDueInput(now);
    SendDueOutput(now);
    if (options_.stopWhenDone && UnitDone(now)) {
      finished_.store(true);
      break;
    }

    // Paced, the program may write only once the unit's receiver has taken what came before.
    const bool accepting = !portFailed_ && (!options_.pace || input_.empty());
    if (options_.pace) SetWriterFlow(accepting);

    uint64_t wakeAt = UINT64_MAX;
    if (!input_.empty()) wakeAt = std::min(wakeAt, input_.front().arrivalNs);
    if (!output_.empty()) wakeAt = std::min(wakeAt, output_.front().dueNs);
    if (options_.stopWhenDone) wakeAt = std::min(wakeAt, now + kDoneCheckNs);

    pollfd fds[3] = {
        {wake_, POLLIN, 0}, {inotify_, POLLIN, 0}, {accepting ? master_ : -1, POLLIN, 0}};
    timespec timeout{};
    const timespec* wait = nullptr;
    if (wakeAt != UINT64_MAX) {
      uint64_t span = wakeAt > now ? wakeAt - now : 0;
      timeout.tv_sec = static_cast<time_t>(span / kNsPerSecond);
      timeout.tv_nsec = static_cast<long>(span % kNsPerSecond);
      wait = &timeout;
    }
    int ready = ppoll(fds, 3, wait, nullptr);
    if (ready < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (ready == 0) continue;
    now = Now();
    if ((fds[2].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      ReadFromPort(now);
    } else if ((fds[1].revents & POLLIN) != 0) {
      ReadDeviceEvents();
    }
    if ((fds[0].revents & POLLIN) != 0) {
      uint64_t count = 0;
      ssize_t ignored = read(wake_, &count, sizeof count);
      (void)ignored;
    }
  }
  // What the program wrote before the end still reaches the unit (a program that has just sent
  // its last command and exited, say); replies to it are no longer sent.
  while (!portFailed_ && ReadFromPort(Now())) {
  }
  FeedDueInput(UINT64_MAX);
  // A program blocked in a write must not stay blocked once nobody serves the line.
  if (options_.pace) SetWriterFlow(true);
}

bool PtyUnitServer::ReadFromPort(uint64_t now) {
  uint8_t buffer[4096];
  ssize_t got = read(master_, buffer, sizeof buffer);
  if (got <= 0) {
    // Cannot happen while the server holds its own slave descriptor; should the device fail all
    // the same, it is no longer polled rather than polled in a tight loop.
    if (got == 0 || (errno != EAGAIN && errno != EINTR)) portFailed_ = true;
    return false;
  }
  // The speed is looked at after the read: every byte read was written before this moment, so a
  // byte written after a reopen at a new speed never counts at the old one.
  const uint32_t speed = PortSpeed(false);
  // Opens noted before these bytes are taken: replies to them go to the program that sent them.
  ReadDeviceEvents();
  lastInputNs_ = now;
  QueueInput(buffer, static_cast<size_t>(got), speed, now);
  return true;
}

void PtyUnitServer::ReadDeviceEvents() {
  if (inotify_ < 0) return;
  alignas(inotify_event) char buffer[4096];
  for (;;) {
    ssize_t got = read(inotify_, buffer, sizeof buffer);
    if (got <= 0) return;
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      if ((event->mask & IN_OPEN) != 0) {
        ++listeners_;
        // A port opened afresh has nothing waiting in it.
        tcflush(slave_, TCIFLUSH);
        std::lock_guard<std::mutex> lock(mutex_);
        ++stats_.opens;
      }
      if ((event->mask & IN_CLOSE) != 0 && listeners_ > 0) --listeners_;
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
}

void PtyUnitServer::QueueInput(const uint8_t* data, size_t count, uint32_t portSpeed,
                               uint64_t now) {
  // Where a change of the port's speed takes effect within these bytes: at once when the last
  // byte taken ended a speed command; else after the first speed command that ends here; at
  // once when none does (the speed was changed some other way).
  const bool follow = options_.followSpeedCommands;
  size_t switchAt = 0;
  if (!follow && portSpeed != framingSpeed_ && speedCommandBytes_ != kSpeedCommandLength) {
    int state = speedCommandBytes_;
    for (size_t i = 0; i < count; ++i) {
      state = NextSpeedCommandState(state, data[i]);
      if (state == kSpeedCommandLength) {
        switchAt = i + 1;
        break;
      }
    }
  }
  for (size_t i = 0; i < count; ++i) {
    if (!follow && i == switchAt) framingSpeed_ = portSpeed;
    speedCommandBytes_ = NextSpeedCommandState(speedCommandBytes_, data[i]);
    speedCommandValue_ =
        speedCommandBytes_ > 1 ? speedCommandValue_ * 10 + (data[i] - '0') : 0;
    uint64_t arrival = now;
    if (options_.pace) {
      const uint64_t byteTime = ByteTimeNs(framingSpeed_);
      arrival = std::min(std::max(now, receiverFreeNs_) + byteTime,
                         now + kMaxReceiveBacklogBytes * byteTime);
      receiverFreeNs_ = arrival;
    }
    input_.push_back(InByte{data[i], framingSpeed_, arrival});
    // The command itself went at the old speed; the bytes after it go at the new one.
    if (follow && speedCommandBytes_ == kSpeedCommandLength && speedCommandValue_ > 0) {
      framingSpeed_ = speedCommandValue_;
    }
  }
}

void PtyUnitServer::FeedDueInput(uint64_t now) {
  if (input_.empty() || input_.front().arrivalNs > now) return;
  std::lock_guard<std::mutex> lock(mutex_);
  while (!input_.empty() && input_.front().arrivalNs <= now) {
    const InByte byte = input_.front();
    input_.pop_front();
    // A byte framed at another speed is no byte for the unit's receiver.
    if (byte.speed != unit_.speed()) {
      ++stats_.bytesLostToSpeed;
      continue;
    }
    ++stats_.bytesTaken;
    unit_.SetTime(byte.arrivalNs - originNs_);
    std::string reply;
    const uint32_t delayMs = unit_.Receive(byte.value, &reply);
    if (!reply.empty()) {
      QueueReply(reply, byte.arrivalNs + static_cast<uint64_t>(delayMs) * kNsPerMs, unit_.speed());
    }
  }
}

void PtyUnitServer::QueueReply(const std::string& reply, uint64_t earliestNs, uint32_t speed) {
  // One transmitter: a reply never overtakes an earlier one, a late one included.
  for (char c : reply) {
    const uint64_t start = std::max(earliestNs, transmitterFreeNs_);
    // Paced, the byte reaches the port when its last bit has; else at once.
    const uint64_t due = options_.pace ? start + ByteTimeNs(speed) : start;
    transmitterFreeNs_ = due;
    output_.push_back(OutByte{static_cast<uint8_t>(c), speed, due});
  }
}

void PtyUnitServer::SendDueOutput(uint64_t now) {
  if (output_.empty() || output_.front().dueNs > now) return;
  const bool heard = inotify_ < 0 || listeners_ > 0;
  const uint32_t portSpeed = PortSpeed(true);
  std::string bytes;
  uint64_t unheard = 0;
  uint64_t lostToSpeed = 0;
  while (!output_.empty() && output_.front().dueNs <= now) {
    const OutByte byte = output_.front();
    output_.pop_front();
    if (!heard) {
      ++unheard;
    } else if (byte.speed != portSpeed) {
      ++lostToSpeed;
    } else {
      bytes += static_cast<char>(byte.value);
    }
  }
  // Once the port's input is full the rest overruns it.
  int error = 0;
  const size_t written = WriteAll(master_, bytes.data(), bytes.size(), &error);
  std::lock_guard<std::mutex> lock(mutex_);
  stats_.repliesUnheard += unheard;
  stats_.repliesLostToSpeed += lostToSpeed;
  stats_.repliesOverrun += bytes.size() - written;
}

void PtyUnitServer::SetWriterFlow(bool flowing) {
  if (flowing == writerFlowing_) return;
  // Output flow control of the slave side: while it is stopped, the program's writes block.
  if (ioctl(slave_, TCXONC, flowing ? TCOON : TCOOFF) == 0) writerFlowing_ = flowing;
}

bool PtyUnitServer::UnitDone(uint64_t now) {
  if (!input_.empty() || !output_.empty()) return false;
  if (now - lastInputNs_ < static_cast<uint64_t>(options_.quietMs) * kNsPerMs) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  return unit_.flashed() || unit_.leftUpdateMode();
}

}  // namespace quorel::sim
