#include <time.h>

#include "os/clock.h"
#include "os/interrupt.h"

namespace quorel {
namespace {

constexpr uint64_t kNsPerSecond = 1000000000;

uint64_t MonotonicNowNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * kNsPerSecond + static_cast<uint64_t>(now.tv_nsec);
}

class MonotonicClock : public Clock {
 public:
  uint64_t NowNs() override { return MonotonicNowNs(); }

  // Sleeps the whole span, whatever other signals come, unless the run is cut short: then it
  // returns at once.
  void SleepNs(uint64_t ns) override {
    const uint64_t deadline = MonotonicNowNs() + ns;
    for (;;) {
      const uint64_t now = MonotonicNowNs();
      if (now >= deadline) return;
      const uint64_t left = deadline - now;
      timespec wait{};
      wait.tv_sec = static_cast<time_t>(left / kNsPerSecond);
      wait.tv_nsec = static_cast<long>(left % kNsPerSecond);
      const WaitOutcome outcome = WaitForInputOrCancel(-1, &wait);
      if (outcome == WaitOutcome::kCancelled) return;
      if (outcome == WaitOutcome::kFailed) nanosleep(&wait, nullptr);
    }
  }
};

}  // namespace

Clock& SystemClock() {
  static MonotonicClock clock;
  return clock;
}

}  // namespace quorel
