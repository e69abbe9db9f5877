#include "sim/virtual_clock.h"

#include <algorithm>

namespace quorel::sim {

void VirtualClock::SleepNs(uint64_t ns) {
  sleptNs_ += ns;
  AdvanceTo(nowNs_ + ns);
}

void VirtualClock::AdvanceTo(uint64_t ns) {
  if (ns <= nowNs_) return;
  nowNs_ = ns;
  for (auto& observer : observers_) observer.second(nowNs_);
}

void VirtualClock::AddObserver(const void* owner, std::function<void(uint64_t)> observer) {
  observers_.emplace_back(owner, std::move(observer));
}

void VirtualClock::RemoveObserver(const void* owner) {
  observers_.erase(std::remove_if(observers_.begin(), observers_.end(),
                                  [owner](const auto& entry) { return entry.first == owner; }),
                   observers_.end());
}

}  // namespace quorel::sim
