#pragma once
// A clock that only moves when told to: a sleep advances it at once by the span slept. Tests,
// the demo and the benchmark run whole updates on it in a fraction of the real time.
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "os/clock.h"

namespace quorel::sim {

class VirtualClock : public Clock {
 public:
  explicit VirtualClock(uint64_t startNs = 0) : nowNs_(startNs) {}

  uint64_t NowNs() override { return nowNs_; }
  // Advances the time by ns at once.
  void SleepNs(uint64_t ns) override;
  // Moves the time forward to ns; a time in the past leaves the clock where it is.
  void AdvanceTo(uint64_t ns);

  // Observers are called with the new time after every advance, so that whatever lives on
  // this clock (a virtual line and its unit) catches up with it. The owner pointer identifies
  // an observer for its removal.
  void AddObserver(const void* owner, std::function<void(uint64_t nowNs)> observer);
  void RemoveObserver(const void* owner);

  // Total time spent in SleepNs since construction.
  uint64_t sleptNs() const { return sleptNs_; }

 private:
  uint64_t nowNs_;
  uint64_t sleptNs_ = 0;
  std::vector<std::pair<const void*, std::function<void(uint64_t)>>> observers_;
};

}  // namespace quorel::sim
