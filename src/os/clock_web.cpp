// The browser's clock: its monotonic time (performance.now) and sleeps through the page's
// timers, which end at once when the page's Stop is pressed.
#include <emscripten.h>

#include "os/cancel.h"
#include "os/cancel_web.h"
#include "os/clock.h"

namespace quorel {
namespace {

// Waits ms milliseconds, or less when Stop is pressed.
EM_ASYNC_JS(void, quorel_web_sleep, (double ms), { await Module.quorelWait(ms, null, true); });

uint64_t BrowserNowNs() { return static_cast<uint64_t>(emscripten_get_now() * 1e6); }

class BrowserClock : public Clock {
 public:
  uint64_t NowNs() override { return BrowserNowNs(); }

  // Sleeps the whole span (a timer may fire a little early: the rest is slept again), unless
  // the run is cut short: then it returns at once.
  void SleepNs(uint64_t ns) override {
    const uint64_t deadline = BrowserNowNs() + ns;
    for (;;) {
      TakePageStop();
      if (CancelRequested()) return;
      const uint64_t now = BrowserNowNs();
      if (now >= deadline) return;
      quorel_web_sleep(static_cast<double>(deadline - now) / 1e6);
    }
  }
};

}  // namespace

Clock& SystemClock() {
  static BrowserClock clock;
  return clock;
}

}  // namespace quorel
