// The system clock on Windows: the performance counter for time, and sleeps that the cancel
// event (Ctrl-C, a closed console window) cuts short.
#include <windows.h>

#include "os/cancel.h"
#include "os/cancel_win32.h"
#include "os/clock.h"

namespace quorel {
namespace {

class WindowsClock : public Clock {
 public:
  WindowsClock() {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    frequency_ = static_cast<uint64_t>(frequency.QuadPart);
  }

  uint64_t NowNs() override {
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    const uint64_t ticks = static_cast<uint64_t>(counter.QuadPart);
    // Whole seconds and the remainder apart, so the product never overflows.
    return ticks / frequency_ * 1000000000u + ticks % frequency_ * 1000000000u / frequency_;
  }

  void SleepNs(uint64_t ns) override {
    if (CancelRequested()) return;
    // Rounded up to whole milliseconds: a wait of the protocol is never shortened.
    uint64_t ms = (ns + kNsPerMs - 1) / kNsPerMs;
    while (ms > 0) {
      const DWORD chunk = ms >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(ms);
      const DWORD outcome = WaitForSingleObject(static_cast<HANDLE>(CancelEvent()), chunk);
      if (outcome == WAIT_OBJECT_0) {
        if (CancelRequested()) return;
        // A request held while the settings are written back: the sleep is slept in full.
        Sleep(chunk);
      }
      // Without a usable event the sleep is still slept in full.
      if (outcome != WAIT_TIMEOUT && outcome != WAIT_OBJECT_0) Sleep(chunk);
      ms -= chunk;
    }
  }

 private:
  uint64_t frequency_ = 1;
};

}  // namespace

Clock& SystemClock() {
  static WindowsClock clock;
  return clock;
}

}  // namespace quorel
