#include "os/low_latency.h"

#include <linux/serial.h>
#include <sys/ioctl.h>

namespace quorel {

bool SetLowLatency(int fd, int* savedFlags) {
  serial_struct settings{};
  if (ioctl(fd, TIOCGSERIAL, &settings) != 0) return false;
  *savedFlags = settings.flags;
  settings.flags |= ASYNC_LOW_LATENCY;
  return ioctl(fd, TIOCSSERIAL, &settings) == 0;
}

void RestoreLowLatency(int fd, int savedFlags) {
  serial_struct settings{};
  if (ioctl(fd, TIOCGSERIAL, &settings) != 0) return;
  settings.flags = savedFlags;
  ioctl(fd, TIOCSSERIAL, &settings);
}

}  // namespace quorel
