#include "bench/bench_modelled.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <memory>

#include "driver/driver.h"
#include "payload/payload.h"
#include "common/watching_devices.h"
#include "sim/scripted_console.h"
#include "sim/sim_session.h"
#include "sim/unit_layout.h"

namespace quorel::sim::bench {
namespace {

// ---------------------------------------------------------------------------------------------
// Counting the bytes on the line by the speed they went at.

// Passes every call on and counts the bytes the PC wrote and read by the speed of the line they
// went on. The unit's bytes are counted by speed from its own counter, read whenever a line
// closes: the speed command is the last command on a line and the close waits until it has
// left, so all the unit sent up to then went at that line's speed.
class CountingDevices : public WatchingDevices {
 public:
  CountingDevices(VirtualSerialDevices& inner, SimulatedUnit& unit)
      : WatchingDevices(inner), virtual_(inner), unit_(unit) {}

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
  void OnOpen(const char*, int32_t, OpenResult) override {}
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
  next("A004000");  // the check before the flash starts with the first record's first block
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

}  // namespace

UpdatePlan ScenarioPlan(uint32_t speed, const SimulatedUnit& unit) {
  UpdatePlan plan;
  plan.wantedSpeed = speed;
  plan.readoutStart = layout::kConfigBase;
  plan.readoutLength = layout::kReadoutBytes;
  plan.records = layout::kRecords;
  plan.recordSize = layout::kRecordV3;
  // The conversion keeps a record's first byte; the unit's last record does not begin with the
  // mark that moves it over the fourth.
  plan.recordFiveMoved =
      unit.memory()[layout::kConfigBase + 5 * layout::kRecordV2] == layout::kMovedRecordMark;
  plan.secondRangeEnd = layout::kMainSecond.end;
  plan.secondImage = true;
  plan.secondImageStart = layout::kSecondImage.start;
  plan.secondImageEnd = layout::kSecondImage.end;
  return plan;
}

ModelledRun RunModelled(uint32_t speed, bool fast) {
  ModelledRun run;
  run.speed = speed;
  run.fast = fast;
  SimSession s;
  s.unit.SetCodeRegionChecksum(kUnitChecksum);
  s.unit.WriteConfigRecords(layout::kRecordV2, kConfigSeed, true);
  const UpdatePlan plan = ScenarioPlan(speed, s.unit);

  CountingDevices counting(s.devices, s.unit);
  s.console = ScriptedConsole("\n");
  s.state = std::make_unique<UpdateState>(counting, s.clock, s.console, s.payload);
  char option[4] = {'-', 's', '0', '\0'};
  for (size_t i = 0; i < kSpeedLadderSteps; ++i) {
    if (kSpeedLadder[i] == speed) option[2] = static_cast<char>('0' + i);
  }
  const char* argv[] = {"quorel-update", option, "--fast"};
  run.status = RunUpdate(*s.state, fast ? 3 : 2, argv);
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

  PaceFloor floor(plan.firstContactSpeed, fast);
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


// "28800" or "28800 fast".
std::string RunName(const ModelledRun& r) {
  return std::to_string(r.speed) + (r.fast ? " fast" : " ticks");
}

bool GoalMet(const ModelledRun& run) {
  return run.status == 1 && run.flashed && run.commandsAgree &&
         Ratio(run.durationNs, run.floor.endNs) <= kFloorGoal;
}

void PrintPartA(const std::vector<ModelledRun>& runs) {
  std::printf("Part A: modelled on the virtual clock (start of the run to the flash command)\n\n");
  std::printf("%11s %9s %9s %10s %10s %10s %7s %7s %5s\n", "speed pace", "PC>unit", "unit>PC",
              "wire s", "floor s", "model s", "/wire", "/floor", "goal");
  for (const ModelledRun& r : runs) {
    std::printf("%11s %9" PRIu64 " %9" PRIu64 " %10.3f %10.3f %10.3f %7.4f %7.4f %5s\n", RunName(r).c_str(),
                Sum(r.pcBytesAt), Sum(r.unitBytesAt), Seconds(r.wireFloorNs),
                Seconds(r.floor.endNs), Seconds(r.durationNs), Ratio(r.durationNs, r.wireFloorNs),
                Ratio(r.durationNs, r.floor.endNs), GoalMet(r) ? "met" : "MISS");
  }
  std::printf(
      "\n  bytes: as counted on the line; wire s: those bytes at 10 bits each at the speed each\n"
      "  went at; floor s: the protocol floor at the run's pace (wire plus the prescribed waits,\n"
      "  below; for --fast runs every reply wait costs exactly until its reply is complete, or\n"
      "  320 ms when it never is); model s: the run on the virtual clock; goal: model within\n"
      "  %.0f%% of its floor.\n\n",
      (kFloorGoal - 1.0) * 100.0);

  std::printf("What the floor is made of (floor = PC wire + sleeps + drains + reply waits)\n\n");
  std::printf("%11s %9s %8s %12s %7s %9s %7s %11s\n", "speed pace", "PC wire s", "sleeps s",
              "drains", "reads", "waits s", "at 320", "waits-wire");
  for (const ModelledRun& r : runs) {
    const FloorParts& f = r.floor;
    char drains[32];
    std::snprintf(drains, sizeof drains, "%" PRIu64 " x 0.1", f.drains);
    std::printf("%11s %9.3f %8.3f %12s %7" PRIu64 " %9.3f %7" PRIu64 " %11.3f\n",
                RunName(r).c_str(), Seconds(f.pcWireWaitNs), Seconds(f.sleepNs), drains,
                f.replyWaits, Seconds(f.replyWaitNs), f.replyWaitsCut,
                Seconds(f.endNs) - Seconds(r.wireFloorNs));
  }
  std::printf(
      "\n  PC wire s: the PC waiting for its own bytes to leave; sleeps: the greeting's 2 x 2 s\n"
      "  and the identification's 1 s; reads: reply waits (waits s: their time, in 40 ms ticks\n"
      "  at the protocol's pace), of which 'at 320' ran their full 320 ms\n"
      "  (replies shorter than asked for, as every 20-character probe read); waits-wire: what\n"
      "  the prescribed waits add to the wire floor.\n\n");

  std::printf("Where the modelled time goes (s)\n\n%11s", "speed pace");
  for (const char* name : kPhaseNames) std::printf(" %10s", name);
  std::printf("\n");
  for (const ModelledRun& r : runs) {
    std::printf("%11s", RunName(r).c_str());
    for (uint64_t ns : r.phaseNs) std::printf(" %10.3f", Seconds(ns));
    if (r.phaseNs.empty()) std::printf("  (not the scenario's run)");
    std::printf("\n");
  }
  std::printf(
      "\n  Each phase runs from the arrival at the unit of its first command to that of the next\n"
      "  phase's; cfg end is the closing K, E, V0, T, V0 and the return to the chosen speed.\n\n");

  std::printf("Bytes by line speed (count@speed) and checks\n\n");
  for (const ModelledRun& r : runs) {
    std::printf("%11s  PC>unit %s; unit>PC %s\n", RunName(r).c_str(), SpeedList(r.pcBytesAt).c_str(),
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

namespace {

void JsonBytes(const std::map<uint32_t, uint64_t>& bySpeed) {
  std::printf("{");
  bool first = true;
  for (auto it = bySpeed.rbegin(); it != bySpeed.rend(); ++it) {
    std::printf("%s\"%u\": %" PRIu64, first ? "" : ", ", it->first, it->second);
    first = false;
  }
  std::printf("}");
}

}  // namespace

void PrintPartAJson(const std::vector<ModelledRun>& runs) {
  std::printf("  \"modelled\": [\n");
  for (size_t i = 0; i < runs.size(); ++i) {
    const ModelledRun& r = runs[i];
    const FloorParts& f = r.floor;
    std::printf("    {\"speed\": %u, \"fast\": %s, \"exitStatus\": %d, \"flashed\": %s, ",
                r.speed, r.fast ? "true" : "false", r.status, r.flashed ? "true" : "false");
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
                ", \"replyWaits\": %" PRIu64 ", \"replyWaitS\": %.6f, \"waitsAtFull\": %" PRIu64
                "},\n",
                Seconds(f.pcWireWaitNs), Seconds(f.sleepNs), f.drains, f.replyWaits,
                Seconds(f.replyWaitNs), f.replyWaitsCut);
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

}  // namespace quorel::sim::bench
