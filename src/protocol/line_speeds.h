#pragma once
// The line speeds of the unit's update mode, in bits per second.
#include <cstddef>
#include <cstdint>

namespace quorel {

// The speed the unit's update mode starts at, where every connection first finds it.
constexpr uint32_t kFirstContactSpeed = 9600;
// The speed of the configuration work.
constexpr uint32_t kConfigSpeed = 14400;
// The speed an update runs at unless asked otherwise.
constexpr uint32_t kDefaultSpeed = 28800;

// The speeds a run may ask for, fastest first: -s0 to -s4 choose them, and the connection steps
// down them while the unit does not answer.
constexpr uint32_t kSpeedLadder[] = {28800, 14400, 9600, 4800, 2400};
constexpr size_t kSpeedLadderSteps = sizeof kSpeedLadder / sizeof kSpeedLadder[0];

}  // namespace quorel
