// quorel-soak: whole updates through the real driver against the simulated unit on the virtual
// clock, each seed drawing a scenario of line damage and unit faults, every run judged from the
// outside (see src/sim/soak.h).
//
//   quorel-soak [--seeds N] [--first S] [--max-rate R] [--verbose]
//   quorel-soak --seed S [--verbose] [--transcript]
//   quorel-soak --until-done [--seeds N] [--first S | --seed S] [--max-rate R] [--verbose]
//
// --until-done runs series of runs on one unit's memory, each cut short, until one completes
// (see soak/soak_series.h). Prints a summary; exits 1 when any run broke an invariant, naming
// the seeds to replay.
#include <sys/resource.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "common/copies_aside.h"
#include "soak/soak.h"
#include "soak/soak_report.h"
#include "soak/soak_series.h"

namespace {

using quorel::sim::PrintSoakRun;
using quorel::sim::PrintSoakSummary;
using quorel::sim::RunSoakSeed;
using quorel::sim::SoakOptions;
using quorel::sim::SoakOutcome;
using quorel::sim::SoakTotals;

void Usage() {
  std::fprintf(stderr,
               "usage: quorel-soak [--seeds N] [--first S] [--max-rate R] [--verbose]\n"
               "       quorel-soak --seed S [--verbose] [--transcript]\n"
               "       quorel-soak --until-done [--seeds N] [--first S | --seed S] [--max-rate R] "
               "[--verbose]\n");
}

bool ParseCount(const char* text, uint64_t* value) {
  char* end = nullptr;
  unsigned long long parsed = std::strtoull(text, &end, 10);
  if (end == text || *end != '\0') return false;
  *value = parsed;
  return true;
}

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

}  // namespace

int main(int argc, char** argv) {
  quorel::sim::KeepSettingsCopiesAside();
  uint64_t seeds = 1000;
  uint64_t first = 1;
  bool single = false;
  bool verbose = false;
  bool transcript = false;
  bool untilDone = false;
  SoakOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--seeds" && hasValue && ParseCount(argv[i + 1], &seeds)) {
      ++i;
    } else if (arg == "--first" && hasValue && ParseCount(argv[i + 1], &first)) {
      ++i;
    } else if (arg == "--seed" && hasValue && ParseCount(argv[i + 1], &first)) {
      ++i;
      single = true;
      seeds = 1;
    } else if (arg == "--max-rate" && hasValue) {
      options.maxLineFaultRate = std::strtod(argv[++i], nullptr);
    } else if (arg == "--verbose") {
      verbose = true;
    } else if (arg == "--transcript") {
      transcript = true;
    } else if (arg == "--until-done") {
      untilDone = true;
    } else {
      Usage();
      return 2;
    }
  }
  options.keepTexts = single && verbose;

  if (untilDone) {
    quorel::sim::SeriesOptions seriesOptions;
    seriesOptions.maxLineFaultRate = options.maxLineFaultRate;
    seriesOptions.keepTexts = options.keepTexts;
    quorel::sim::SeriesTotals totals;
    for (uint64_t seed = first; seed < first + seeds; ++seed) {
      const quorel::sim::SeriesOutcome outcome = quorel::sim::RunSoakSeries(seed, seriesOptions);
      if (single || verbose || !outcome.violations.empty())
        quorel::sim::PrintSeries(outcome, single || !outcome.violations.empty());
      totals.Add(outcome);
      if (!single && !verbose && seeds >= 500 && (seed - first + 1) % 500 == 0) {
        std::fprintf(stderr, "quorel-soak: %" PRIu64 " of %" PRIu64 " seeds\n", seed - first + 1,
                     seeds);
      }
    }
    if (!single) quorel::sim::PrintSeriesSummary(totals, first, CpuSeconds());
    return totals.violations == 0 ? 0 : 1;
  }

  SoakTotals totals;
  for (uint64_t seed = first; seed < first + seeds; ++seed) {
    SoakOutcome outcome = RunSoakSeed(seed, options);
    if (single || verbose || !outcome.violations.empty())
      PrintSoakRun(outcome, single || !outcome.violations.empty(), transcript);
    if (!outcome.violations.empty() && !single) {
      std::printf("  replay with: quorel-soak --seed %" PRIu64 " --verbose\n", seed);
    }
    totals.Add(outcome);
    if (!single && !verbose && seeds >= 1000 && (seed - first + 1) % 1000 == 0) {
      std::fprintf(stderr, "quorel-soak: %" PRIu64 " of %" PRIu64 " runs\n", seed - first + 1,
                   seeds);
    }
  }
  if (!single) PrintSoakSummary(totals, first, options, CpuSeconds());
  return totals.violations == 0 ? 0 : 1;
}
