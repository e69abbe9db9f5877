#include "support/sim_helpers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace quorel::testing {

uint32_t ChecksumOfRelease(const FirmwarePayload& payload, ProductKind kind, ReleaseCode code) {
  const ReleaseTable& table = payload.releaseTable;
  for (uint32_t row = 0; row < table.rows; ++row) {
    if (table.kind[row] == kind && table.code[row] == code &&
        FindReleaseRow(table, table.checksum[row]) == row) {
      return table.checksum[row];
    }
  }
  ADD_FAILURE() << "no findable row of kind " << kind << " and release " << std::hex << code;
  return 0;
}

size_t IndexOf(const std::vector<std::string>& commands, const std::string& text, size_t from) {
  for (size_t i = from; i < commands.size(); ++i) {
    if (commands[i] == text) return i;
  }
  return commands.size();
}

size_t CountOf(const std::vector<std::string>& commands, const std::string& text) {
  return static_cast<size_t>(std::count(commands.begin(), commands.end(), text));
}

std::vector<std::string> Between(const std::vector<std::string>& commands, const std::string& first,
                                 const std::string& last) {
  size_t begin = IndexOf(commands, first);
  size_t end = IndexOf(commands, last, begin);
  if (begin >= commands.size()) return {};
  return std::vector<std::string>(commands.begin() + static_cast<std::ptrdiff_t>(begin),
                                  commands.begin() + static_cast<std::ptrdiff_t>(end));
}

uint32_t SpeedOf(const sim::SimulatedUnit& unit, const std::string& text, size_t n) {
  for (const sim::TranscriptEntry& entry : unit.transcript()) {
    if (entry.command == text && n-- == 0) return entry.speed;
  }
  return 0;
}

bool MemoryEquals(const sim::SimulatedUnit& unit, uint32_t address, const uint8_t* data,
                  uint32_t length) {
  return std::memcmp(unit.memory().data() + address, data, length) == 0;
}

bool RangeEquals(const sim::SimulatedUnit& unit, sim::layout::Range range, const uint8_t* source) {
  return MemoryEquals(unit, range.start, source, range.end - range.start);
}

std::string Dots(size_t n) { return std::string(n, '.'); }

}  // namespace quorel::testing
