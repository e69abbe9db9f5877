// quorel-bench: figures for one full update of a QuorelPro unit on release 091103 (configuration
// converted from the middle to the newest record layout, main and second image).
//
// Part A runs the update on the virtual clock at each line speed against the simulated unit and
// sets its duration beside two floors worked out without the updater (sim/bench_model.h): the
// wire floor (every byte both ways at the speed it went at) and the protocol floor (the wire
// plus the waits the protocol prescribes). Part B runs the shipped quorel-update program against
// the simulated unit on a pseudo-terminal in real time and reports its wall time, CPU time and
// peak memory.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "config/records.h"
#include "payload/payload.h"
#include "sim/bench_model.h"
#include "sim/sim_session.h"
#include "update/driver.h"

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

class CountingDevices;

// The line handed to the updater: passes every call on and counts the bytes the PC wrote and
// read at this line's speed.
class CountingLine : public SerialLine {
 public:
  CountingLine(CountingDevices& owner, std::unique_ptr<SerialLine> inner, uint32_t speed)
      : owner_(owner), inner_(std::move(inner)), speed_(speed) {}
  ~CountingLine() override;
  CountingLine(const CountingLine&) = delete;
  CountingLine& operator=(const CountingLine&) = delete;

  void Write(const uint8_t* data, size_t count) override;
  size_t Read(uint8_t* destination, size_t count) override;
  size_t BytesPending() override { return inner_->BytesPending(); }
  void DrainOutput() override { inner_->DrainOutput(); }
  bool Lost() const override { return inner_->Lost(); }

 private:
  CountingDevices& owner_;
  std::unique_ptr<SerialLine> inner_;
  uint32_t speed_;
};

// Opens lines on the simulated unit's virtual line. The unit's bytes are counted by speed from
// its own counter, read whenever a line closes: the speed command is the last command on a line
// and the close waits until it has left, so all the unit sent up to then went at that line's
// speed.
class CountingDevices : public SerialDevices {
 public:
  CountingDevices(VirtualSerialDevices& inner, SimulatedUnit& unit) : inner_(inner), unit_(unit) {}

  OpenResult Open(const char* portName, int32_t lineSpeed, int32_t parity,
                  std::unique_ptr<SerialLine>* line) override {
    std::unique_ptr<SerialLine> opened;
    OpenResult result = inner_.Open(portName, lineSpeed, parity, &opened);
    if (result == kOpenOk) {
      *line = std::make_unique<CountingLine>(*this, std::move(opened),
                                             static_cast<uint32_t>(lineSpeed));
    }
    return result;
  }
  void NoteUnitAnswered() override { inner_.NoteUnitAnswered(); }
  void NoteFlashSent() override { inner_.NoteFlashSent(); }

  void LineClosed(uint32_t speed) {
    inner_.Settle();
    const uint64_t sent = unit_.stats().bytesSent;
    unitSentAt[speed] += sent - unitSentCounted_;
    unitSentCounted_ = sent;
  }

  std::map<uint32_t, uint64_t> pcWrittenAt;
  std::map<uint32_t, uint64_t> pcReadAt;
  std::map<uint32_t, uint64_t> unitSentAt;

 private:
  VirtualSerialDevices& inner_;
  SimulatedUnit& unit_;
  uint64_t unitSentCounted_ = 0;
};

CountingLine::~CountingLine() {
  inner_.reset();
  owner_.LineClosed(speed_);
}

void CountingLine::Write(const uint8_t* data, size_t count) {
  owner_.pcWrittenAt[speed_] += count;
  inner_->Write(data, count);
}

size_t CountingLine::Read(uint8_t* destination, size_t count) {
  size_t got = inner_->Read(destination, count);
  owner_.pcReadAt[speed_] += got;
  return got;
}

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
};

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
  std::map<uint32_t, uint64_t> counted = run.unitBytesAt;
  run.bytesAgree = run.pcBytesAt == run.floor.pcBytesAt && counted == run.floor.unitBytesAt;
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

  std::printf("Bytes by line speed (count@speed) and checks\n\n");
  for (const ModelledRun& r : runs) {
    std::printf("%6u  PC>unit %s; unit>PC %s\n", r.speed, SpeedList(r.pcBytesAt).c_str(),
                SpeedList(r.unitBytesAt).c_str());
    std::printf(
        "        exit status %d, %s; %zu commands %s; bytes %s the floor's; %" PRIu64
        " read by the PC; %" PRIu64 " lost to a speed mismatch\n",
        r.status, r.flashed ? "flashed" : "NOT FLASHED", r.commands,
        r.commandsAgree ? "as the floor's" : ("DIFFER: " + r.commandDifference).c_str(),
        r.bytesAgree ? "as" : "DIFFER from", r.pcRead, r.lostToSpeedMismatch);
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
    std::printf("     \"commands\": %zu, \"commandsAsFloor\": %s, \"bytesAsFloor\": %s}%s\n",
                r.commands, r.commandsAgree ? "true" : "false", r.bytesAgree ? "true" : "false",
                i + 1 < runs.size() ? "," : "");
  }
  std::printf("  ]");
}

// ---------------------------------------------------------------------------------------------
// Command line

struct Options {
  std::vector<uint32_t> speeds{std::begin(kAllSpeeds), std::end(kAllSpeeds)};
  bool real = true;
  bool paced = false;
  bool unpaced = false;
  bool json = false;
};

void PrintUsage() {
  std::printf(
      "Usage: quorel-bench [--speeds LIST] [--no-real] [--paced] [--unpaced] [--json]\n"
      "\n"
      "Figures for one full update of a QuorelPro unit on release 091103: configuration\n"
      "converted to the newest record layout, main and second image.\n"
      "\n"
      "  --speeds LIST  line speeds for the modelled runs, comma-separated, in bit/s (28800,\n"
      "                 14400, 9600, 4800, 2400) or as the updater's -s digit (0 to 4);\n"
      "                 default all five\n"
      "  --no-real      skip Part B (the shipped program on a pseudo-terminal in real time)\n"
      "  --paced        Part B with the simulated unit paced at the line speed (the default)\n"
      "  --unpaced      Part B with the unit answering at once; with --paced, both\n"
      "  --json         machine-readable output\n"
      "  --help         this text\n");
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
    } else {
      std::fprintf(stderr, "quorel-bench: unknown option '%s' (see --help)\n", arg.c_str());
      return 3;
    }
  }
  if (!options->paced && !options->unpaced) options->paced = true;
  return 0;
}

int Main(int argc, char** argv) {
  Options options;
  if (int stop = ParseOptions(argc, argv, &options); stop != 0) return stop - 1;

  FirmwarePayload payload = CompiledPayload();
  const uint32_t row = FindReleaseRow(payload.releaseTable, kUnitChecksum);
  if (!options.json) {
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
    std::printf("{\n  \"unitRelease\": \"%06x\", \"payload\": \"%06x\",\n",
                payload.releaseTable.code[row], payload.releaseCode);
    PrintPartAJson(runs);
    std::printf("\n}\n");
  } else {
    PrintPartA(runs);
  }
  return allMet ? 0 : 1;
}

}  // namespace
}  // namespace quorel::sim

int main(int argc, char** argv) { return quorel::sim::Main(argc, argv); }
