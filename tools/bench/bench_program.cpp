#include "bench/bench_program.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <thread>

#include "os/clock.h"
#include "sim/unit_layout.h"

namespace quorel::sim::bench {


constexpr double kCpuShareGoal = 0.02;
constexpr long kPeakRssGoalKb = 8 * 1024;
// The dead unit falls silent after the configuration write-back's blocks and this many blocks
// of the main image: in the middle of its second range.
constexpr uint64_t kDeadAfterImageBlocks = 57;



// CPU time of a process so far, from the scheduler's own count (nanoseconds); 0 when gone.
uint64_t ProcessCpuNs(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/schedstat");
  uint64_t running = 0;
  if (!(in >> running)) return 0;
  return running;
}

std::string ProgramBeside(const char* name) {
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return name;
  std::string path(self, static_cast<size_t>(n));
  return path.substr(0, path.rfind('/') + 1) + name;
}

std::string ReadAll(FILE* file) {
  std::string text;
  std::rewind(file);
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
  return text;
}

// The last two lines of the program's console text that hold anything, joined by " | ".
std::string LastLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t from = 0;
  while (from <= text.size()) {
    size_t end = text.find('\n', from);
    std::string line = text.substr(from, end == std::string::npos ? std::string::npos : end - from);
    if (!line.empty()) lines.push_back(line);
    if (end == std::string::npos) break;
    from = end + 1;
  }
  if (lines.empty()) return "";
  if (lines.size() == 1) return lines.back();
  return lines[lines.size() - 2] + " | " + lines.back();
}

RealRun RunReal(bool paced, bool deadUnit, bool fast, const std::string& program,
                int timeoutMs) {
  RealRun run;
  run.paced = paced;
  run.deadUnit = deadUnit;
  run.fast = fast;
  run.label = std::string(deadUnit ? "dead unit" : "full update") +
              (paced ? ", paced" : ", unpaced") + (fast ? ", fast" : "");

  SimulatedUnit unit;
  unit.SetCodeRegionChecksum(kUnitChecksum);
  unit.WriteConfigRecords(layout::kRecordV2, kConfigSeed, true);
  if (deadUnit) {
    const uint64_t writeBack =  // blocks of 256 bytes per record
        layout::kRecords * ((layout::kRecordV3 + layout::kWriteBlock - 1) / layout::kWriteBlock);
    unit.faults().silentAfterBlocks = static_cast<int>(writeBack + kDeadAfterImageBlocks);
  }
  PtyServeOptions serve;
  serve.pace = paced;
  PtyUnitServer server(unit, serve);
  if (!server.Open(&run.error) || !server.Start(&run.error)) return run;

  FILE* out = std::tmpfile();
  if (out == nullptr) {
    run.error = "cannot make a file for the program's output";
    return run;
  }
  LaunchRequest request;
  request.program = program;
  request.args = {"--port", server.devicePath()};
  if (fast) request.args.push_back("--fast");
  request.stdoutFd = fileno(out);
  request.measurePeakRss = true;
  LaunchedProgram launched = LaunchProgram(request);
  if (launched.status != LaunchStatus::kStarted) {
    run.error = launched.error;
    server.Stop();
    std::fclose(out);
    return run;
  }
  run.started = true;

  // Watches for the unit falling silent and follows the program's CPU time from then on.
  std::atomic<bool> ended{false};
  uint64_t silentAtNs = 0;
  uint64_t cpuAtSilenceNs = 0;
  uint64_t lastSampleNs = 0;
  uint64_t lastCpuNs = 0;
  std::thread watch([&] {
    bool silent = false;
    while (!ended.load()) {
      if (!silent && server.WithUnit([](SimulatedUnit& u) { return u.dead(); })) {
        silent = true;
        silentAtNs = SystemClock().NowNs();
        cpuAtSilenceNs = ProcessCpuNs(launched.pid);
      }
      if (silent) {
        const uint64_t cpu = ProcessCpuNs(launched.pid);
        if (cpu != 0) {
          lastCpuNs = cpu;
          lastSampleNs = SystemClock().NowNs();
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  run.usage = WaitForProgram(launched, timeoutMs);
  ended.store(true);
  watch.join();
  server.Stop();

  if (deadUnit && silentAtNs != 0 && cpuAtSilenceNs != 0 && lastSampleNs > silentAtNs) {
    run.silenceMeasured = true;
    run.silentWallNs = lastSampleNs - silentAtNs;
    run.silentCpuNs = lastCpuNs - cpuAtSilenceNs;
  }
  run.flashed = server.WithUnit([](SimulatedUnit& u) { return u.flashed(); });
  run.leftUpdateMode = server.WithUnit([](SimulatedUnit& u) { return u.leftUpdateMode(); });
  server.WithUnit([&run](SimulatedUnit& u) {
    run.dataBlocks = u.stats().dataBlocks;
    run.checksumQueries = u.stats().checksumQueries;
  });
  run.server = server.stats();
  run.console = ReadAll(out);
  run.lastLine = LastLines(run.console);
  std::fclose(out);
  return run;
}

// The marks the program prints before or after a repeated block attempt.
uint64_t RepeatMarks(const std::string& console) {
  uint64_t marks = 0;
  for (const char* mark : {"Retry#", "Retry003", "Re43", "+"}) {
    for (size_t at = console.find(mark); at != std::string::npos;
         at = console.find(mark, at + 1)) {
      ++marks;
    }
  }
  return marks;
}

uint64_t CpuNs(const RealRun& r) { return r.usage.userNs + r.usage.systemNs; }

bool CpuGoalMet(const RealRun& r) {
  return r.usage.wallNs > 0 && Ratio(CpuNs(r), r.usage.wallNs) < kCpuShareGoal;
}

bool RssGoalMet(const RealRun& r) {
  return r.usage.peakRssKb > 0 && r.usage.peakRssKb < kPeakRssGoalKb;
}

bool OutcomeAsExpected(const RealRun& r) {
  if (!r.started || r.usage.timedOut) return false;
  if (r.deadUnit) return r.usage.exitStatus == 0 && !r.flashed && r.leftUpdateMode;
  return r.usage.exitStatus == 1 && r.flashed;
}

std::string Outcome(const RealRun& r) {
  if (r.usage.timedOut) return "timed out";
  if (r.flashed) return "flashed";
  if (r.leftUpdateMode) return "gave up (X)";
  return "unit not flashed";
}

// Data blocks and checksum queries of the scenario's run at the default speed without repeats.
struct PlannedCounts {
  uint64_t blocks = 0;
  uint64_t checksums = 0;
};

PlannedCounts CountPlanned() {
  SimulatedUnit unit;
  unit.WriteConfigRecords(layout::kRecordV2, kConfigSeed, true);
  PaceFloor floor(9600);
  PlanFullUpdate(ScenarioPlan(kDefaultSpeed, unit), floor);
  PlannedCounts counts;
  for (const std::string& command : floor.commands()) {
    if (command.rfind("D[", 0) == 0) ++counts.blocks;
    if (command == "C") ++counts.checksums;
  }
  return counts;
}

void PrintPartB(const std::vector<RealRun>& runs, const std::string& skipped,
                const ModelledRun& modelled) {
  const uint64_t modelledNs = modelled.durationNs;
  const PlannedCounts planned = CountPlanned();
  std::printf(
      "Part B: the shipped quorel-update on a pseudo-terminal, real time (default speed)\n\n");
  if (!skipped.empty()) {
    std::printf("  skipped: %s\n\n", skipped.c_str());
    return;
  }
  std::printf("%-24s %4s %-12s %9s %8s %8s %7s %9s %5s %5s\n", "run", "exit", "outcome",
              "wall s", "user s", "sys s", "CPU %", "peak MiB", "cpu", "rss");
  for (const RealRun& r : runs) {
    if (!r.started) {
      std::printf("%-24s not started: %s\n", r.label.c_str(), r.error.c_str());
      continue;
    }
    std::printf("%-24s %4d %-12s %9.3f %8.3f %8.3f %7.3f %9.2f %5s %5s\n", r.label.c_str(),
                r.usage.exitStatus, Outcome(r).c_str(), Seconds(r.usage.wallNs),
                Seconds(r.usage.userNs), Seconds(r.usage.systemNs),
                100.0 * Ratio(CpuNs(r), r.usage.wallNs),
                static_cast<double>(r.usage.peakRssKb) / 1024.0, CpuGoalMet(r) ? "met" : "MISS",
                RssGoalMet(r) ? "met" : "MISS");
  }
  std::printf(
      "\n  wall: from the program's start to its end (the full update modelled on the virtual\n"
      "  clock takes %.3f s to the flash command, its bytes alone %.3f s on the wire); CPU %%:\n"
      "  (user + sys) / wall, goal under %.0f%%; peak MiB: the program's own peak resident set\n"
      "  (VmHWM at exit%s), goal under %ld MiB.\n\n",
      Seconds(modelledNs), Seconds(modelled.wireFloorNs),
      kCpuShareGoal * 100.0, runs.empty() || runs[0].usage.peakRssOwn ? "" : ", else ru_maxrss",
      kPeakRssGoalKb / 1024);
  for (const RealRun& r : runs) {
    if (!r.started) continue;
    std::printf("%-24s %s; console ends \"%s\"\n", r.label.c_str(),
                OutcomeAsExpected(r) ? "as expected" : "NOT AS EXPECTED", r.lastLine.c_str());
    std::printf("%-24s ru_maxrss %.2f MiB (counts the benchmark's image it was forked from)\n", "",
                static_cast<double>(r.usage.forkedPeakRssKb) / 1024.0);
    std::printf("%-24s unit took %" PRIu64 " bytes, %" PRIu64 " data blocks, %" PRIu64
                " checksum queries (without repeats: %" PRIu64 ", %" PRIu64 "); %" PRIu64
                " repeat marks on the console; %" PRIu64 " reply bytes overran the port, %" PRIu64
                " bytes lost to a speed mismatch\n",
                "", r.server.bytesTaken, r.dataBlocks, r.checksumQueries, planned.blocks,
                planned.checksums, RepeatMarks(r.console), r.server.repliesOverrun,
                r.server.bytesLostToSpeed + r.server.repliesLostToSpeed);
    if (!r.deadUnit && r.paced && r.usage.wallNs < modelled.wireFloorNs) {
      std::printf(
          "%-24s NOTE: the wall time is %.0f%% of the modelled run and below the wire floor: the\n"
          "%-24s paced pseudo-terminal did not hold the program to the line speed (its output\n"
          "%-24s drain returns at once, and writes that slip past the flow control while the\n"
          "%-24s server waits for the CPU reach the unit early). CPU %% is the harder for it.\n",
          "", 100.0 * Ratio(r.usage.wallNs, modelledNs), "", "", "");
    }
    if (!r.deadUnit && r.paced && r.dataBlocks > planned.blocks) {
      std::printf(
          "%-24s NOTE: %" PRIu64 " blocks were sent again. On a pseudo-terminal the output drain\n"
          "%-24s returns at once and the paced server holds the program's writes back only once\n"
          "%-24s it has seen them; when it gets the CPU late the program is a block ahead, its\n"
          "%-24s 320 ms reply wait runs out before the paced reply, and the block is repeated.\n",
          "", r.dataBlocks - planned.blocks, "", "", "");
    }
    if (r.deadUnit) {
      if (r.silenceMeasured) {
        std::printf("%-24s after the unit fell silent: %.3f s wall, %.3f s CPU (%.3f%%) until "
                    "the program gave up\n",
                    "", Seconds(r.silentWallNs), Seconds(r.silentCpuNs),
                    100.0 * Ratio(r.silentCpuNs, r.silentWallNs));
      } else {
        std::printf("%-24s the silent phase could not be measured\n", "");
      }
    }
  }
  std::printf("\n");
}


void PrintPartBJson(const std::vector<RealRun>& runs, const std::string& skipped,
                    const ModelledRun& modelled) {
  std::printf("  \"real\": {\"skipped\": %s", skipped.empty() ? "false" : "true");
  if (!skipped.empty()) {
    std::printf(", \"reason\": \"%s\"}", JsonText(skipped).c_str());
    return;
  }
  std::printf(", \"modelledFullUpdateS\": %.6f, \"wireFloorS\": %.6f, \"runs\": [\n",
              Seconds(modelled.durationNs), Seconds(modelled.wireFloorNs));
  for (size_t i = 0; i < runs.size(); ++i) {
    const RealRun& r = runs[i];
    std::printf("    {\"run\": \"%s\", \"paced\": %s, \"fast\": %s, \"deadUnit\": %s, "
                "\"started\": %s",
                r.label.c_str(), r.paced ? "true" : "false", r.fast ? "true" : "false",
                r.deadUnit ? "true" : "false", r.started ? "true" : "false");
    if (r.started) {
      std::printf(", \"exitStatus\": %d, \"outcome\": \"%s\", \"asExpected\": %s,\n",
                  r.usage.exitStatus, Outcome(r).c_str(), OutcomeAsExpected(r) ? "true" : "false");
      std::printf("     \"wallS\": %.6f, \"userS\": %.6f, \"sysS\": %.6f, \"cpuShare\": %.6f, "
                  "\"peakRssKiB\": %ld, \"peakRssOwn\": %s, \"ruMaxrssKiB\": %ld, "
                  "\"cpuGoalMet\": %s, \"rssGoalMet\": %s",
                  Seconds(r.usage.wallNs), Seconds(r.usage.userNs), Seconds(r.usage.systemNs),
                  Ratio(CpuNs(r), r.usage.wallNs), r.usage.peakRssKb,
                  r.usage.peakRssOwn ? "true" : "false", r.usage.forkedPeakRssKb,
                  CpuGoalMet(r) ? "true" : "false", RssGoalMet(r) ? "true" : "false");
      std::printf(",\n     \"unitBytes\": %" PRIu64 ", \"dataBlocks\": %" PRIu64
                  ", \"checksumQueries\": %" PRIu64 ", \"repeatMarks\": %" PRIu64,
                  r.server.bytesTaken, r.dataBlocks, r.checksumQueries, RepeatMarks(r.console));
      if (r.deadUnit && r.silenceMeasured) {
        std::printf(",\n     \"silentWallS\": %.6f, \"silentCpuS\": %.6f", Seconds(r.silentWallNs),
                    Seconds(r.silentCpuNs));
      }
    } else {
      std::printf(", \"error\": \"%s\"", JsonText(r.error).c_str());
    }
    std::printf("}%s\n", i + 1 < runs.size() ? "," : "");
  }
  std::printf("  ]}");
}

std::string JsonText(const std::string& text) {
  std::string quoted;
  for (char c : text) {
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      quoted += ' ';
    } else {
      quoted += c;
    }
  }
  return quoted;
}

}  // namespace quorel::sim::bench
