#include <time.h>

#include <cerrno>

#include "os/clock.h"

namespace quorel {
namespace {

constexpr uint64_t kNsPerSecond = 1000000000;

class MonotonicClock : public Clock {
 public:
  uint64_t NowNs() override {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * kNsPerSecond + static_cast<uint64_t>(now.tv_nsec);
  }

  void SleepNs(uint64_t ns) override {
    timespec wanted{};
    wanted.tv_sec = static_cast<time_t>(ns / kNsPerSecond);
    wanted.tv_nsec = static_cast<long>(ns % kNsPerSecond);
    timespec remaining{};
    // A signal whose handler returns cuts the sleep short; the rest of it is slept too, so a
    // fixed wait of the protocol is never shortened.
    while (nanosleep(&wanted, &remaining) != 0 && errno == EINTR) wanted = remaining;
  }
};

}  // namespace

Clock& SystemClock() {
  static MonotonicClock clock;
  return clock;
}

}  // namespace quorel
