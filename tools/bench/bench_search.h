#pragma once
// The benchmark's figures for --port auto: what asking one port for the unit costs, on the
// virtual clock and in real time over pseudo-terminals.
#include <cstdint>
#include <vector>

namespace quorel::sim::bench {

struct SearchRun {
  int ports = 0;
  bool fast = false;
  bool modelled = false;  // on the virtual clock rather than in real time
  bool ran = false;
  int status = -1;
  uint64_t wallNs = 0;
  uint64_t cpuNs = 0;
};

// A run with --port auto (and --fast) over `ports` ports without a unit: on the virtual clock
// (one port), or the product's device layer given that many pseudo-terminals as the machine's
// ports, in real time. The run ends as for no unit, so the search is all it does.
SearchRun RunSearch(int ports, bool fast, bool modelled);
void PrintPartC(const std::vector<SearchRun>& runs);

}  // namespace quorel::sim::bench
