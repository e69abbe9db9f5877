#pragma once
// The one time source of the program. Every sleep and every wait goes through a Clock, so that
// tests and the simulated unit can run a whole update on virtual time in milliseconds.
#include <cstdint>

namespace quorel {

class Clock {
 public:
  virtual ~Clock() = default;
  // Monotonic time in nanoseconds since an arbitrary origin.
  virtual uint64_t NowNs() = 0;
  // Blocks (or, on a virtual clock, advances time) for the given span.
  virtual void SleepNs(uint64_t ns) = 0;
};

// The operating system's monotonic clock and sleep.
Clock& SystemClock();

constexpr uint64_t kNsPerMs = 1000000;

}  // namespace quorel
