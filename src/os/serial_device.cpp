#include "os/serial_device.h"

namespace quorel {

void WaitForInputByLooking(SerialLine& line, uint64_t timeoutNs, Clock& clock) {
  const uint64_t deadline = clock.NowNs() + timeoutNs;
  while (line.BytesPending() == 0 && !line.Lost()) {
    const uint64_t now = clock.NowNs();
    if (now >= deadline) return;
    clock.SleepNs(deadline - now < kNsPerMs ? deadline - now : kNsPerMs);
  }
}

}  // namespace quorel
