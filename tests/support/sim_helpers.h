#pragma once
// Small helpers for tests that run whole updates against the simulated unit.
#include <cstdint>
#include <string>
#include <vector>

#include "payload/payload.h"
#include "sim/simulated_unit.h"
#include "sim/unit_layout.h"

namespace quorel::testing {

// The checksum of the row of the given model and release that the first-match lookup finds.
// Fails the calling test (and returns 0) when the table has no such row.
uint32_t ChecksumOfRelease(const FirmwarePayload& payload, ProductKind kind, ReleaseCode code);

// Index of the first command equal to text at or after from; commands.size() when absent.
size_t IndexOf(const std::vector<std::string>& commands, const std::string& text, size_t from = 0);
size_t CountOf(const std::vector<std::string>& commands, const std::string& text);

// The commands from the first equal to first up to (not including) the first equal to last.
std::vector<std::string> Between(const std::vector<std::string>& commands, const std::string& first,
                                 const std::string& last);

// The speed at which the unit took the n-th command equal to text (0-based).
uint32_t SpeedOf(const sim::SimulatedUnit& unit, const std::string& text, size_t n = 0);

// True when unit memory [address, address + length) equals data.
bool MemoryEquals(const sim::SimulatedUnit& unit, uint32_t address, const uint8_t* data,
                  uint32_t length);
// True when unit memory over range equals source, which holds the byte for range.start.
bool RangeEquals(const sim::SimulatedUnit& unit, sim::layout::Range range, const uint8_t* source);

// n dots.
std::string Dots(size_t n);

}  // namespace quorel::testing
