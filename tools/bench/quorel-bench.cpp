// quorel-bench: figures for one full update of a QuorelPro unit on release 091103 (configuration
// converted from the middle to the newest record layout, main and second image).
//
// Part A runs the update on the virtual clock at each line speed against the simulated unit and
// sets its duration beside two floors worked out without running the updater
// (run/pace_model.h): the wire floor (every byte both ways at the speed it went at) and the
// protocol floor (the wire plus the waits the protocol prescribes). Part B runs the shipped quorel-update program against
// the simulated unit on a pseudo-terminal in real time and reports its wall time, CPU time and
// peak memory. Part C gives what --port auto costs per port it asks. Part A lives in
// bench/bench_modelled.*, Part B in bench/bench_program.*, Part C in bench/bench_search.*; this
// file holds the command line and the report's frame.
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "common/copies_aside.h"
#include "payload/payload.h"
#include "driver/driver.h"
#include "bench/bench_modelled.h"
#include "bench/bench_program.h"
#include "bench/bench_search.h"
#include "sim/unit_layout.h"

namespace quorel::sim::bench {
namespace {

// ---------------------------------------------------------------------------------------------
// Command line

struct Options {
  std::vector<uint32_t> speeds{std::begin(kSpeedLadder), std::end(kSpeedLadder)};
  bool real = true;
  bool paced = false;
  bool unpaced = false;
  bool json = false;
  bool searchOnly = false;
  std::string consoleDir;  // where to keep the console texts of Part B, when given
};

void PrintUsage() {
  std::printf(
      "Usage: quorel-bench [--speeds LIST] [--no-real] [--paced] [--unpaced] [--json]\n"
      "                    [--console-dir DIR] [--search-only]\n"
      "\n"
      "Figures for one full update of a QuorelPro unit on release 091103: configuration\n"
      "converted to the newest record layout, main and second image.\n"
      "\n"
      "  --speeds LIST      line speeds for the modelled runs, comma-separated, in bit/s\n"
      "                     (28800, 14400, 9600, 4800, 2400) or as the updater's -s digit\n"
      "                     (0 to 4); default all five\n"
      "  --no-real          skip Part B (the shipped program on a pseudo-terminal in real time)\n"
      "  --paced            Part B with the simulated unit paced at the line speed (default)\n"
      "  --unpaced          Part B with the unit answering at once; with --paced, both\n"
      "  --json             machine-readable output\n"
      "  --console-dir DIR  keep the console text of each Part B run in DIR\n"
      "  --search-only      only Part C (what --port auto costs per port it asks)\n"
      "  --help             this text\n"
      "\n"
      "Exit status: 0 when every goal is met, 1 when one is not, 2 for a bad command line.\n");
}

bool ParseSpeeds(const char* list, std::vector<uint32_t>* speeds) {
  speeds->clear();
  std::string text(list);
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = text.find(',', start);
    std::string item = text.substr(start, comma == std::string::npos ? std::string::npos
                                                                     : comma - start);
    char* end = nullptr;
    unsigned long value = std::strtoul(item.c_str(), &end, 10);
    if (item.empty() || *end != '\0') return false;
    if (value < kSpeedLadderSteps) value = kSpeedLadder[value];
    bool known = false;
    for (uint32_t speed : kSpeedLadder) known = known || speed == value;
    if (!known) return false;
    speeds->push_back(static_cast<uint32_t>(value));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return !speeds->empty();
}

// Returns 0 to go on, otherwise the exit status plus one.
int ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      PrintUsage();
      return 1;
    } else if (arg == "--speeds" && i + 1 < argc) {
      if (!ParseSpeeds(argv[++i], &options->speeds)) {
        std::fprintf(stderr, "quorel-bench: bad speed list '%s'\n", argv[i]);
        return 3;
      }
    } else if (arg == "--no-real") {
      options->real = false;
    } else if (arg == "--paced") {
      options->paced = true;
    } else if (arg == "--unpaced") {
      options->unpaced = true;
    } else if (arg == "--json") {
      options->json = true;
    } else if (arg == "--search-only") {
      options->searchOnly = true;
    } else if (arg == "--console-dir" && i + 1 < argc) {
      options->consoleDir = argv[++i];
    } else {
      std::fprintf(stderr, "quorel-bench: unknown option '%s' (see --help)\n", arg.c_str());
      return 3;
    }
  }
  if (!options->paced && !options->unpaced) options->paced = true;
  return 0;
}

// Part C: one port on the virtual clock, and 1 and 4 pseudo-terminals in real time.
std::vector<SearchRun> SearchRuns(bool real) {
  std::vector<SearchRun> runs;
  for (bool fast : {false, true}) {
    runs.push_back(RunSearch(1, fast, true));
    if (!real) continue;
    for (int ports : {1, 4}) runs.push_back(RunSearch(ports, fast, false));
  }
  return runs;
}

std::string Today() {
  char text[32];
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &local);
  return text;
}

// The machine kind: architecture, cores and system.
std::string Machine() {
  utsname names{};
  uname(&names);
  std::string system = names.sysname;
  std::ifstream release("/etc/os-release");
  std::string line;
  while (std::getline(release, line)) {
    if (line.rfind("PRETTY_NAME=", 0) == 0) {
      system = line.substr(12);
      system.erase(std::remove(system.begin(), system.end(), '"'), system.end());
    }
  }
  return std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) + "-core " + names.machine + ", " +
         system + ", kernel " + names.release;
}

int Main(int argc, char** argv) {
  KeepSettingsCopiesAside();
  Options options;
  if (int stop = ParseOptions(argc, argv, &options); stop != 0) return stop - 1;
  if (options.searchOnly) {
    std::printf("quorel-bench, %s, %s\n\n", Today().c_str(), Machine().c_str());
    PrintPartC(SearchRuns(options.real));
    return 0;
  }

  FirmwarePayload payload = CompiledPayload();
  const uint32_t row = FindReleaseRow(payload.releaseTable, kUnitChecksum);
  if (!options.json) {
    std::printf("quorel-bench, %s, %s\n", Today().c_str(), Machine().c_str());
    std::printf(
        "quorel-bench: full update of a %s unit on release %06x (release table row %u, checksum "
        "%x)\nwith payload %s %06x: configuration converted from %u- to %u-byte records, main "
        "and\nsecond image.\n\n",
        ProductName(payload.releaseTable.kind[row]), payload.releaseTable.code[row], row,
        kUnitChecksum, ProductName(payload.productKind), payload.releaseCode, layout::kRecordV2,
        layout::kRecordV3);
  }

  std::vector<ModelledRun> runs;
  for (uint32_t speed : options.speeds) {
    for (bool fast : {false, true}) runs.push_back(RunModelled(speed, fast));
  }
  bool allMet = true;
  for (const ModelledRun& r : runs) allMet = allMet && GoalMet(r);
  if (options.json) {
    std::printf("{\n  \"date\": \"%s\", \"machine\": \"%s\",\n", JsonText(Today()).c_str(),
                JsonText(Machine()).c_str());
    std::printf("  \"unitRelease\": \"%06x\", \"payload\": \"%06x\",\n",
                payload.releaseTable.code[row], payload.releaseCode);
    PrintPartAJson(runs);
  } else {
    PrintPartA(runs);
  }

  std::vector<RealRun> real;
  std::string skipped;
  // The modelled run at the default speed, which Part B runs.
  const ModelledRun modelled = RunModelled(kDefaultSpeed, false);
  const uint64_t modelledNs = modelled.durationNs;
  if (!options.real) {
    skipped = "not asked for (--no-real)";
  } else {
    const std::string program = ProgramBeside("quorel-update");
    // Generous: three times the modelled run at the default speed, and a minute.
    const int timeoutMs = static_cast<int>(3 * modelledNs / kNsPerMs + 60000);
    std::vector<bool> modes;
    if (options.paced) modes.push_back(true);
    if (options.unpaced) modes.push_back(false);
    std::vector<std::pair<bool, bool>> runsToMake;  // paced, fast
    for (bool paced : modes) {
      for (bool fast : {false, true}) runsToMake.push_back({paced, fast});
    }
    for (auto [paced, fast] : runsToMake) {
      for (bool dead : {false, true}) {
        if (!options.json) {
          std::fprintf(stderr, "quorel-bench: running the shipped program (%s, %s%s)...\n",
                       dead ? "dead unit" : "full update", paced ? "paced" : "unpaced",
                       fast ? ", --fast" : "");
        }
        RealRun run = RunReal(paced, dead, fast, program, timeoutMs);
        if (run.started && !options.consoleDir.empty()) {
          std::string name = options.consoleDir + "/" + (dead ? "dead-unit" : "full-update") +
                             (paced ? "-paced" : "-unpaced") + (fast ? "-fast" : "") + ".txt";
          std::ofstream(name, std::ios::binary) << run.console;
        }
        real.push_back(run);
      }
    }
    for (const RealRun& r : real) {
      allMet = allMet && OutcomeAsExpected(r) && CpuGoalMet(r) && RssGoalMet(r);
    }
  }
  if (options.json) {
    std::printf(",\n");
    PrintPartBJson(real, skipped, modelled);
    std::printf("\n}\n");
  } else {
    PrintPartB(real, skipped, modelled);
    PrintPartC(SearchRuns(options.real));
    std::printf("All goals %s.\n", allMet ? "met" : "NOT met");
  }
  return allMet ? 0 : 1;
}

}  // namespace
}  // namespace quorel::sim::bench

int main(int argc, char** argv) { return quorel::sim::bench::Main(argc, argv); }
