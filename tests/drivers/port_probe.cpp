// port-probe --hold DEVICE: opens DEVICE, puts it in exclusive mode (TIOCEXCL) and keeps it until
// killed, as a program that holds a port does; reads and writes nothing.
// port-probe DEVICE | port-probe --pid PID DEVICE: prints the line settings a serial driver holds
// for DEVICE, as the tier on real drivers checks them. With --pid the probe looks at the very
// file PID has open on DEVICE (a copy of its descriptor, taken with pidfd_getfd): an open of
// its own would raise DTR and RTS, as every open of a tty does. Without --pid it opens DEVICE
// itself (for the settings left after a program closed it). Nothing is written to the device.
// One "name=value" a word:
//   speed=OUT/IN  cs8= parenb= cstopb= crtscts= clocal= ixon= ixoff= icanon= echo= isig= opost=
//   dtr= rts=  (TIOCMGET; "-" where the driver has no modem lines)
//   lowlatency=  (TIOCGSERIAL; "-" where the driver has no such setting)
#include <asm/termbits.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <limits.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// The descriptor process PID has open on DEVICE, copied into this process; -1 when none.
int BorrowDescriptor(const char* pid, const char* device) {
  const std::string fds = std::string("/proc/") + pid + "/fd/";
  char target[PATH_MAX];
  for (int fd = 0; fd < 256; ++fd) {
    ssize_t length = readlink((fds + std::to_string(fd)).c_str(), target, sizeof target - 1);
    if (length <= 0) continue;
    target[length] = '\0';
    if (std::strcmp(target, device) != 0) continue;
    long pidfd = syscall(SYS_pidfd_open, std::atoi(pid), 0);
    if (pidfd < 0) return -1;
    long copy = syscall(SYS_pidfd_getfd, pidfd, fd, 0);
    close(static_cast<int>(pidfd));
    return static_cast<int>(copy);
  }
  errno = ENOENT;
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--hold") == 0) {
    int fd = open(argv[2], O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0 || ioctl(fd, TIOCEXCL) != 0) {
      std::fprintf(stderr, "port-probe: %s: %s\n", argv[2], std::strerror(errno));
      return 1;
    }
    for (;;) pause();
  }
  const bool borrow = argc == 4 && std::strcmp(argv[1], "--pid") == 0;
  if (argc != 2 && !borrow) {
    std::fprintf(stderr, "usage: port-probe [--pid PID | --hold] DEVICE\n");
    return 2;
  }
  const char* device = argv[argc - 1];
  int fd = borrow ? BorrowDescriptor(argv[2], device)
                  : open(device, O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    std::fprintf(stderr, "port-probe: %s: %s\n", device, std::strerror(errno));
    return 1;
  }
  struct termios2 t;
  if (ioctl(fd, TCGETS2, &t) != 0) {
    std::fprintf(stderr, "port-probe: %s: TCGETS2: %s\n", device, std::strerror(errno));
    return 1;
  }
  auto bit = [](unsigned flags, unsigned mask) { return (flags & mask) != 0 ? 1 : 0; };
  std::printf("speed=%u/%u cs8=%d parenb=%d cstopb=%d crtscts=%d clocal=%d", t.c_ospeed,
              t.c_ispeed, (t.c_cflag & CSIZE) == CS8 ? 1 : 0, bit(t.c_cflag, PARENB),
              bit(t.c_cflag, CSTOPB), bit(t.c_cflag, CRTSCTS), bit(t.c_cflag, CLOCAL));
  std::printf(" ixon=%d ixoff=%d icanon=%d echo=%d isig=%d opost=%d", bit(t.c_iflag, IXON),
              bit(t.c_iflag, IXOFF), bit(t.c_lflag, ICANON), bit(t.c_lflag, ECHO),
              bit(t.c_lflag, ISIG), bit(t.c_oflag, OPOST));
  int lines = 0;
  if (ioctl(fd, TIOCMGET, &lines) == 0) {
    std::printf(" dtr=%d rts=%d", bit(lines, TIOCM_DTR), bit(lines, TIOCM_RTS));
  } else {
    std::printf(" dtr=- rts=-");
  }
  serial_struct serial{};
  if (ioctl(fd, TIOCGSERIAL, &serial) == 0) {
    std::printf(" lowlatency=%d\n", bit(static_cast<unsigned>(serial.flags), ASYNC_LOW_LATENCY));
  } else {
    std::printf(" lowlatency=-\n");
  }
  close(fd);
  return 0;
}
