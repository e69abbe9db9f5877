// Linux only: speeds through struct termios2. Must not include <termios.h> (see the header).
#include "os/termios2_linux.h"
#include "os/serial_posix.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>

namespace quorel {

int SetExactLineSpeed(int fd, uint32_t bitsPerSecond) {
  struct termios2 settings;
  if (ioctl(fd, TCGETS2, &settings) != 0) return errno;
  // Both the output speed field (CBAUD) and the input one (CIBAUD) say "the number in
  // c_ospeed / c_ispeed", so the input speed does not silently follow some old table value.
  settings.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
  settings.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  settings.c_ospeed = bitsPerSecond;
  settings.c_ispeed = bitsPerSecond;
  if (ioctl(fd, TCSETS2, &settings) != 0) return errno;
  return 0;
}

int ReadLineSpeed(int fd, uint32_t* outputSpeed, uint32_t* inputSpeed) {
  struct termios2 settings;
  if (ioctl(fd, TCGETS2, &settings) != 0) return errno;
  *outputSpeed = settings.c_ospeed;
  *inputSpeed = settings.c_ispeed;
  return 0;
}

int SetAndReadLineSpeed(int fd, uint32_t speed, uint32_t* appliedOutput, uint32_t* appliedInput) {
  if (int error = SetExactLineSpeed(fd, speed)) return error;
  return ReadLineSpeed(fd, appliedOutput, appliedInput);
}

}  // namespace quorel
