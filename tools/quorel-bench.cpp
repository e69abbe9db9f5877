// quorel-bench: figures for one full update of a QuorelPro unit on release 091103 (configuration
// converted from the middle to the newest record layout, main and second image).
//
// Part A runs the update on the virtual clock at each line speed against the simulated unit and
// sets its duration beside two floors worked out without the updater (sim/bench_model.h): the
// wire floor (every byte both ways at the speed it went at) and the protocol floor (the wire
// plus the waits the protocol prescribes). Part B runs the shipped quorel-update program against
// the simulated unit on a pseudo-terminal in real time and reports its wall time, CPU time and
// peak memory.
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "config/records.h"
#include "os/clock.h"
#include "payload/payload.h"
#include "sim/bench_model.h"
#include "sim/devices_decorator.h"
#include "sim/namespace_launch.h"
#include "sim/pty_unit_server.h"
#include "sim/sim_session.h"
#include "driver/driver.h"

namespace quorel::sim {
namespace {

// The unit of the scenario: a Pro unit whose code region sums to this release table checksum
// (release 091103), holding six configuration records of the middle layout.
constexpr uint32_t kUnitChecksum = 0x4C20E2;
constexpr uint32_t kConfigSeed = 7;
constexpr double kFloorGoal = 1.02;
const uint32_t kAllSpeeds[] = {28800, 14400, 9600, 4800, 2400};

double Seconds(uint64_t ns) { return static_cast<double>(ns) / 1e9; }

// ---------------------------------------------------------------------------------------------
// Counting the bytes on the line by the speed they went at.

// Passes every call on and counts the bytes the PC wrote and read by the speed of the line they
// went on. The unit's bytes are counted by speed from its own counter, read whenever a line
// closes: the speed command is the last command on a line and the close waits until it has
// left, so all the unit sent up to then went at that line's speed.
class CountingDevices : public DevicesDecorator {
 public:
  CountingDevices(VirtualSerialDevices& inner, SimulatedUnit& unit)
      : DevicesDecorator(inner), virtual_(inner), unit_(unit) {}

  void LineClosed(uint32_t speed) {
    virtual_.Settle();
    const uint64_t sent = unit_.stats().bytesSent;
    if (sent != unitSentCounted_) unitSentAt[speed] += sent - unitSentCounted_;
    unitSentCounted_ = sent;
  }

  std::map<uint32_t, uint64_t> pcWrittenAt;
  std::map<uint32_t, uint64_t> pcReadAt;
  std::map<uint32_t, uint64_t> unitSentAt;

 protected:
  void OnWrite(const uint8_t*, size_t count, int32_t speed) override {
    pcWrittenAt[static_cast<uint32_t>(speed)] += count;
  }
  void OnRead(const uint8_t*, size_t got, int32_t speed) override {
    pcReadAt[static_cast<uint32_t>(speed)] += got;
  }
  void OnClose(int32_t speed) override { LineClosed(static_cast<uint32_t>(speed)); }

 private:
  VirtualSerialDevices& virtual_;
  SimulatedUnit& unit_;
  uint64_t unitSentCounted_ = 0;
};

uint64_t Sum(const std::map<uint32_t, uint64_t>& bySpeed) {
  uint64_t total = 0;
  for (const auto& entry : bySpeed) total += entry.second;
  return total;
}

// ---------------------------------------------------------------------------------------------
// Part A

struct ModelledRun {
  uint32_t speed = 0;
  int status = -1;
  bool flashed = false;
  uint64_t durationNs = 0;  // virtual clock from the start to the flash command's arrival
  std::map<uint32_t, uint64_t> pcBytesAt;
  std::map<uint32_t, uint64_t> unitBytesAt;
  uint64_t pcRead = 0;
  uint64_t lostToSpeedMismatch = 0;
  uint64_t wireFloorNs = 0;
  FloorParts floor;
  size_t commands = 0;
  // Checks that the floor describes the run that was measured.
  bool commandsAgree = false;
  std::string commandDifference;
  bool bytesAgree = false;
  // Largest difference between a command's arrival in the run and in the floor.
  uint64_t largestSkewNs = 0;
  // Durations of the phases (kPhaseNames), in the run.
  std::vector<uint64_t> phaseNs;
};

const char* const kPhaseNames[] = {"connect",  "greet",      "identify",   "cfg read", "cfg write",
                                   "cfg end",  "main image", "second img", "flash"};
constexpr size_t kPhases = sizeof kPhaseNames / sizeof kPhaseNames[0];

// The indices of the commands that begin the phases after the first, in the commands of the
// scenario's run; empty when the run was not the scenario's.
std::vector<size_t> PhaseStarts(const std::vector<std::string>& c) {
  std::vector<size_t> starts;
  size_t at = 0;
  auto next = [&](const std::string& command) {
    while (at < c.size() && c[at] != command) ++at;
    starts.push_back(at);
  };
  next("G");
  next("A008000");
  next("T");
  starts.back() = ++at;  // the configuration work begins with the command after "T"
  next("L000100");
  next("K");
  next("JDOWNLOADING UPDATE\n");
  next("A040000");
  next("JFLASHING DONE IN ABOUT 30 SECS\n");
  next("F5382");
  for (size_t start : starts) {
    if (start >= c.size()) return {};
  }
  return starts;
}

std::vector<uint64_t> PhaseDurations(const std::vector<std::string>& commands,
                                     const std::vector<uint64_t>& timesNs) {
  std::vector<size_t> starts = PhaseStarts(commands);
  if (starts.empty()) return {};
  std::vector<uint64_t> durations;
  uint64_t from = 0;
  for (size_t i = 0; i < kPhases; ++i) {
    const uint64_t to = timesNs[starts[i]];
    durations.push_back(to - from);
    from = to;
  }
  return durations;
}

std::string SpeedList(const std::map<uint32_t, uint64_t>& bySpeed) {
  std::string text;
  for (auto it = bySpeed.rbegin(); it != bySpeed.rend(); ++it) {
    if (!text.empty()) text += " ";
    text += std::to_string(it->second) + "@" + std::to_string(it->first);
  }
  return text;
}

std::string Escaped(const std::string& command) {
  std::string text;
  for (char c : command) {
    if (c == '\n') {
      text += "\\n";
    } else {
      text += c;
    }
  }
  return text;
}

UpdatePlan ScenarioPlan(uint32_t speed, const SimulatedUnit& unit) {
  UpdatePlan plan;
  plan.wantedSpeed = speed;
  plan.readoutStart = kConfigRegionBase;
  plan.readoutLength = kConfigRecordCount * kRecordV2Size;
  plan.records = kConfigRecordCount;
  plan.recordSize = kRecordV3Size;
  // The conversion keeps a record's first byte; the unit's last record does not begin with the
  // mark that moves it over the fourth.
  plan.recordFiveMoved = unit.memory()[kConfigRegionBase + 5 * kRecordV2Size] == ':';
  plan.secondRangeEnd = kSwImageEnd;
  plan.secondImage = true;
  plan.secondImageStart = kHwImageBase;
  plan.secondImageEnd = kHwImageEnd;
  return plan;
}

ModelledRun RunModelled(uint32_t speed) {
  ModelledRun run;
  run.speed = speed;
  SimSession s;
  s.unit.SetCodeRegionChecksum(kUnitChecksum);
  s.unit.WriteConfigRecords(kRecordV2Size, kConfigSeed, true);
  const UpdatePlan plan = ScenarioPlan(speed, s.unit);

  CountingDevices counting(s.devices, s.unit);
  s.console = ScriptedConsole("\n");
  s.state = std::make_unique<UpdateState>(counting, s.clock, s.console, s.payload);
  char option[4] = {'-', 's', '0', '\0'};
  for (int i = 0; i < 5; ++i) {
    if (kAllSpeeds[i] == speed) option[2] = static_cast<char>('0' + i);
  }
  const char* argv[] = {"quorel-update", option};
  run.status = RunUpdate(*s.state, 2, argv);
  s.state.reset();
  s.devices.FinishInFlight();
  counting.LineClosed(0);  // nothing may be left unattributed; speed 0 shows it if it were

  run.flashed = s.unit.flashed();
  for (const TranscriptEntry& entry : s.unit.transcript()) {
    if (entry.command == "F5382") run.durationNs = entry.timeNs;
  }
  run.pcBytesAt = counting.pcWrittenAt;
  run.unitBytesAt = counting.unitSentAt;
  run.pcRead = Sum(counting.pcReadAt);
  run.lostToSpeedMismatch = s.devices.bytesLostToSpeedMismatch();
  run.wireFloorNs = WireFloorNs(run.pcBytesAt, run.unitBytesAt);

  PaceFloor floor(plan.firstContactSpeed);
  PlanFullUpdate(plan, floor);
  run.floor = floor.parts();

  const std::vector<std::string> taken = s.unit.Commands();
  const std::vector<std::string>& planned = floor.commands();
  run.commands = taken.size();
  run.commandsAgree = taken == planned;
  if (!run.commandsAgree) {
    size_t i = 0;
    while (i < taken.size() && i < planned.size() && taken[i] == planned[i]) ++i;
    run.commandDifference =
        "command " + std::to_string(i) + ": unit took \"" +
        (i < taken.size() ? Escaped(taken[i]) : std::string("(none)")) + "\", floor has \"" +
        (i < planned.size() ? Escaped(planned[i]) : std::string("(none)")) + "\"";
  }
  run.bytesAgree =
      run.pcBytesAt == run.floor.pcBytesAt && run.unitBytesAt == run.floor.unitBytesAt;
  std::vector<uint64_t> takenNs;
  for (const TranscriptEntry& entry : s.unit.transcript()) takenNs.push_back(entry.timeNs);
  if (run.commandsAgree) {
    for (size_t i = 0; i < takenNs.size(); ++i) {
      const uint64_t a = takenNs[i];
      const uint64_t b = floor.commandTimesNs()[i];
      run.largestSkewNs = std::max(run.largestSkewNs, a > b ? a - b : b - a);
    }
  }
  run.phaseNs = PhaseDurations(taken, takenNs);
  return run;
}

double Ratio(uint64_t a, uint64_t b) {
  return b == 0 ? 0.0 : static_cast<double>(a) / static_cast<double>(b);
}

bool GoalMet(const ModelledRun& run) {
  return run.status == 1 && run.flashed && run.commandsAgree &&
         Ratio(run.durationNs, run.floor.endNs) <= kFloorGoal;
}

void PrintPartA(const std::vector<ModelledRun>& runs) {
  std::printf("Part A: modelled on the virtual clock (start of the run to the flash command)\n\n");
  std::printf("%6s %9s %9s %10s %10s %10s %7s %7s %5s\n", "speed", "PC>unit", "unit>PC",
              "wire s", "floor s", "model s", "/wire", "/floor", "goal");
  for (const ModelledRun& r : runs) {
    std::printf("%6u %9" PRIu64 " %9" PRIu64 " %10.3f %10.3f %10.3f %7.4f %7.4f %5s\n", r.speed,
                Sum(r.pcBytesAt), Sum(r.unitBytesAt), Seconds(r.wireFloorNs),
                Seconds(r.floor.endNs), Seconds(r.durationNs), Ratio(r.durationNs, r.wireFloorNs),
                Ratio(r.durationNs, r.floor.endNs), GoalMet(r) ? "met" : "MISS");
  }
  std::printf(
      "\n  bytes: as counted on the line; wire s: those bytes at 10 bits each at the speed each\n"
      "  went at; floor s: the protocol floor (wire plus the prescribed waits, below); model s:\n"
      "  the run on the virtual clock; goal: model within %.0f%% of the protocol floor.\n\n",
      (kFloorGoal - 1.0) * 100.0);

  std::printf("What the protocol floor is made of (floor = PC wire + sleeps + drains + ticks)\n\n");
  std::printf("%6s %9s %8s %12s %7s %14s %7s %11s\n", "speed", "PC wire s", "sleeps s",
              "drains", "reads", "ticks", "at 8", "waits-wire");
  for (const ModelledRun& r : runs) {
    const FloorParts& f = r.floor;
    char drains[32];
    std::snprintf(drains, sizeof drains, "%" PRIu64 " x 0.1", f.drains);
    char ticks[32];
    std::snprintf(ticks, sizeof ticks, "%" PRIu64 " x 0.04", f.ticks);
    std::printf("%6u %9.3f %8.3f %12s %7" PRIu64 " %14s %7" PRIu64 " %11.3f\n", r.speed,
                Seconds(f.pcWireWaitNs), Seconds(f.sleepNs), drains, f.replyWaits, ticks,
                f.replyWaitsCut, Seconds(f.endNs) - Seconds(r.wireFloorNs));
  }
  std::printf(
      "\n  PC wire s: the PC waiting for its own bytes to leave; sleeps: the greeting's 2 x 2 s\n"
      "  and the identification's 1 s; reads: reply waits, of which 'at 8' ran all 8 ticks out\n"
      "  (replies shorter than asked for, as every 20-character probe read); waits-wire: what\n"
      "  the prescribed waits add to the wire floor.\n\n");

  std::printf("Where the modelled time goes (s)\n\n%6s", "speed");
  for (const char* name : kPhaseNames) std::printf(" %10s", name);
  std::printf("\n");
  for (const ModelledRun& r : runs) {
    std::printf("%6u", r.speed);
    for (uint64_t ns : r.phaseNs) std::printf(" %10.3f", Seconds(ns));
    if (r.phaseNs.empty()) std::printf("  (not the scenario's run)");
    std::printf("\n");
  }
  std::printf(
      "\n  Each phase runs from the arrival at the unit of its first command to that of the next\n"
      "  phase's; cfg end is the closing K, E, V0, T, V0 and the return to the chosen speed.\n\n");

  std::printf("Bytes by line speed (count@speed) and checks\n\n");
  for (const ModelledRun& r : runs) {
    std::printf("%6u  PC>unit %s; unit>PC %s\n", r.speed, SpeedList(r.pcBytesAt).c_str(),
                SpeedList(r.unitBytesAt).c_str());
    std::printf("        exit status %d, %s; %" PRIu64 " bytes read by the PC, %" PRIu64
                " lost to a speed mismatch\n",
                r.status, r.flashed ? "flashed" : "NOT FLASHED", r.pcRead,
                r.lostToSpeedMismatch);
    std::printf("        %zu commands %s; bytes by speed %s the floor's", r.commands,
                r.commandsAgree ? "as the floor's" : ("DIFFER: " + r.commandDifference).c_str(),
                r.bytesAgree ? "as" : "DIFFER from");
    if (r.commandsAgree) {
      std::printf("; every command reached the unit within %" PRIu64
                  " ns of its time in the floor",
                  r.largestSkewNs);
    }
    std::printf("\n");
  }
  std::printf("\n");
}

void JsonBytes(const std::map<uint32_t, uint64_t>& bySpeed) {
  std::printf("{");
  bool first = true;
  for (auto it = bySpeed.rbegin(); it != bySpeed.rend(); ++it) {
    std::printf("%s\"%u\": %" PRIu64, first ? "" : ", ", it->first, it->second);
    first = false;
  }
  std::printf("}");
}

void PrintPartAJson(const std::vector<ModelledRun>& runs) {
  std::printf("  \"modelled\": [\n");
  for (size_t i = 0; i < runs.size(); ++i) {
    const ModelledRun& r = runs[i];
    const FloorParts& f = r.floor;
    std::printf("    {\"speed\": %u, \"exitStatus\": %d, \"flashed\": %s, ", r.speed, r.status,
                r.flashed ? "true" : "false");
    std::printf("\"pcToUnitBytes\": ");
    JsonBytes(r.pcBytesAt);
    std::printf(", \"unitToPcBytes\": ");
    JsonBytes(r.unitBytesAt);
    std::printf(",\n     \"wireFloorS\": %.6f, \"protocolFloorS\": %.6f, \"modelledS\": %.6f, ",
                Seconds(r.wireFloorNs), Seconds(f.endNs), Seconds(r.durationNs));
    std::printf("\"ratioToWire\": %.6f, \"ratioToFloor\": %.6f, \"goalMet\": %s,\n",
                Ratio(r.durationNs, r.wireFloorNs), Ratio(r.durationNs, f.endNs),
                GoalMet(r) ? "true" : "false");
    std::printf("     \"floorParts\": {\"pcWireS\": %.6f, \"sleepsS\": %.6f, \"drains\": %" PRIu64
                ", \"replyWaits\": %" PRIu64 ", \"ticks\": %" PRIu64 ", \"waitsAtEight\": %" PRIu64
                "},\n",
                Seconds(f.pcWireWaitNs), Seconds(f.sleepNs), f.drains, f.replyWaits, f.ticks,
                f.replyWaitsCut);
    std::printf("     \"phasesS\": {");
    for (size_t p = 0; p < r.phaseNs.size(); ++p) {
      std::printf("%s\"%s\": %.6f", p == 0 ? "" : ", ", kPhaseNames[p], Seconds(r.phaseNs[p]));
    }
    std::printf("},\n");
    std::printf("     \"commands\": %zu, \"commandsAsFloor\": %s, \"bytesAsFloor\": %s, "
                "\"largestCommandSkewNs\": %" PRIu64 "}%s\n",
                r.commands, r.commandsAgree ? "true" : "false", r.bytesAgree ? "true" : "false",
                r.largestSkewNs, i + 1 < runs.size() ? "," : "");
  }
  std::printf("  ]");
}

// ---------------------------------------------------------------------------------------------
// Part B

constexpr double kCpuShareGoal = 0.02;
constexpr long kPeakRssGoalKb = 8 * 1024;
// The dead unit falls silent after the configuration write-back's blocks and this many blocks
// of the main image: in the middle of its second range.
constexpr uint64_t kDeadAfterImageBlocks = 57;

struct RealRun {
  std::string label;
  bool paced = false;
  bool deadUnit = false;
  bool started = false;
  std::string error;
  ProgramUsage usage;
  bool flashed = false;
  bool leftUpdateMode = false;
  std::string lastLine;  // the end of the program's console text
  std::string console;   // all of it
  // Repeats, as the unit saw them: data blocks received in full, checksum queries, "M" dumps.
  uint64_t dataBlocks = 0;
  uint64_t checksumQueries = 0;
  PtyServerStats server;
  // Dead unit: from the moment the unit fell silent until the program ended.
  bool silenceMeasured = false;
  uint64_t silentWallNs = 0;
  uint64_t silentCpuNs = 0;
};

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

RealRun RunReal(bool paced, bool deadUnit, const std::string& program, int timeoutMs) {
  RealRun run;
  run.paced = paced;
  run.deadUnit = deadUnit;
  run.label =
      std::string(deadUnit ? "dead unit" : "full update") + (paced ? ", paced" : ", unpaced");

  SimulatedUnit unit;
  unit.SetCodeRegionChecksum(kUnitChecksum);
  unit.WriteConfigRecords(kRecordV2Size, kConfigSeed, true);
  if (deadUnit) {
    const uint64_t writeBack =
        kConfigRecordCount * ((kRecordV3Size + 255) / 256);  // blocks of 256 bytes per record
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
  request.stdoutFd = fileno(out);
  request.measurePeakRss = true;
  LaunchedProgram launched = LaunchWithPorts(request);
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
  unit.WriteConfigRecords(kRecordV2Size, kConfigSeed, true);
  PaceFloor floor(9600);
  PlanFullUpdate(ScenarioPlan(28800, unit), floor);
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
  std::printf("%-22s %4s %-12s %9s %8s %8s %7s %9s %5s %5s\n", "run", "exit", "outcome",
              "wall s", "user s", "sys s", "CPU %", "peak MiB", "cpu", "rss");
  for (const RealRun& r : runs) {
    if (!r.started) {
      std::printf("%-22s not started: %s\n", r.label.c_str(), r.error.c_str());
      continue;
    }
    std::printf("%-22s %4d %-12s %9.3f %8.3f %8.3f %7.3f %9.2f %5s %5s\n", r.label.c_str(),
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
    std::printf("%-22s %s; console ends \"%s\"\n", r.label.c_str(),
                OutcomeAsExpected(r) ? "as expected" : "NOT AS EXPECTED", r.lastLine.c_str());
    std::printf("%-22s ru_maxrss %.2f MiB (counts the benchmark's image it was forked from)\n", "",
                static_cast<double>(r.usage.forkedPeakRssKb) / 1024.0);
    std::printf("%-22s unit took %" PRIu64 " bytes, %" PRIu64 " data blocks, %" PRIu64
                " checksum queries (without repeats: %" PRIu64 ", %" PRIu64 "); %" PRIu64
                " repeat marks on the console; %" PRIu64 " reply bytes overran the port, %" PRIu64
                " bytes lost to a speed mismatch\n",
                "", r.server.bytesTaken, r.dataBlocks, r.checksumQueries, planned.blocks,
                planned.checksums, RepeatMarks(r.console), r.server.repliesOverrun,
                r.server.bytesLostToSpeed + r.server.repliesLostToSpeed);
    if (!r.deadUnit && r.paced && r.usage.wallNs < modelled.wireFloorNs) {
      std::printf(
          "%-22s NOTE: the wall time is %.0f%% of the modelled run and below the wire floor: the\n"
          "%-22s paced pseudo-terminal did not hold the program to the line speed (its output\n"
          "%-22s drain returns at once, and writes that slip past the flow control while the\n"
          "%-22s server waits for the CPU reach the unit early). CPU %% is the harder for it.\n",
          "", 100.0 * Ratio(r.usage.wallNs, modelledNs), "", "", "");
    }
    if (!r.deadUnit && r.paced && r.dataBlocks > planned.blocks) {
      std::printf(
          "%-22s NOTE: %" PRIu64 " blocks were sent again. On a pseudo-terminal the output drain\n"
          "%-22s returns at once and the paced server holds the program's writes back only once\n"
          "%-22s it has seen them; when it gets the CPU late the program is a block ahead, its\n"
          "%-22s 320 ms reply wait runs out before the paced reply, and the block is repeated.\n",
          "", r.dataBlocks - planned.blocks, "", "", "");
    }
    if (r.deadUnit) {
      if (r.silenceMeasured) {
        std::printf("%-22s after the unit fell silent: %.3f s wall, %.3f s CPU (%.3f%%) until "
                    "the program gave up\n",
                    "", Seconds(r.silentWallNs), Seconds(r.silentCpuNs),
                    100.0 * Ratio(r.silentCpuNs, r.silentWallNs));
      } else {
        std::printf("%-22s the silent phase could not be measured\n", "");
      }
    }
  }
  std::printf("\n");
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
    std::printf("    {\"run\": \"%s\", \"paced\": %s, \"deadUnit\": %s, \"started\": %s",
                r.label.c_str(), r.paced ? "true" : "false", r.deadUnit ? "true" : "false",
                r.started ? "true" : "false");
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

// ---------------------------------------------------------------------------------------------
// Command line

struct Options {
  std::vector<uint32_t> speeds{std::begin(kAllSpeeds), std::end(kAllSpeeds)};
  bool real = true;
  bool paced = false;
  bool unpaced = false;
  bool json = false;
  std::string consoleDir;  // where to keep the console texts of Part B, when given
};

void PrintUsage() {
  std::printf(
      "Usage: quorel-bench [--speeds LIST] [--no-real] [--paced] [--unpaced] [--json]\n"
      "                    [--console-dir DIR]\n"
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
    if (value <= 4) value = kAllSpeeds[value];
    bool known = false;
    for (uint32_t speed : kAllSpeeds) known = known || speed == value;
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
  Options options;
  if (int stop = ParseOptions(argc, argv, &options); stop != 0) return stop - 1;

  FirmwarePayload payload = CompiledPayload();
  const uint32_t row = FindReleaseRow(payload.releaseTable, kUnitChecksum);
  if (!options.json) {
    std::printf("quorel-bench, %s, %s\n", Today().c_str(), Machine().c_str());
    std::printf(
        "quorel-bench: full update of a %s unit on release %06x (release table row %u, checksum "
        "%x)\nwith payload %s %06x: configuration converted from %u- to %u-byte records, main "
        "and\nsecond image.\n\n",
        ProductName(payload.releaseTable.kind[row]), payload.releaseTable.code[row], row,
        kUnitChecksum, ProductName(payload.productKind), payload.releaseCode, kRecordV2Size,
        kRecordV3Size);
  }

  std::vector<ModelledRun> runs;
  for (uint32_t speed : options.speeds) runs.push_back(RunModelled(speed));
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
  const ModelledRun modelled = RunModelled(28800);
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
    for (bool paced : modes) {
      for (bool dead : {false, true}) {
        if (!options.json) {
          std::fprintf(stderr, "quorel-bench: running the shipped program (%s, %s)...\n",
                       dead ? "dead unit" : "full update", paced ? "paced" : "unpaced");
        }
        RealRun run = RunReal(paced, dead, program, timeoutMs);
        if (run.started && !options.consoleDir.empty()) {
          std::string name = options.consoleDir + "/" + (dead ? "dead-unit" : "full-update") +
                             (paced ? "-paced" : "-unpaced") + ".txt";
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
    std::printf("All goals %s.\n", allMet ? "met" : "NOT met");
  }
  return allMet ? 0 : 1;
}

}  // namespace
}  // namespace quorel::sim

int main(int argc, char** argv) { return quorel::sim::Main(argc, argv); }
