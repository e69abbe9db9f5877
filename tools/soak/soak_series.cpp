// Runs until done (see soak_series.h): the draw of the original unit, the cut of each run, the
// series of runs on the unit's memory, the judge and the report.
#include "soak/soak_series.h"

#include <stdlib.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/expected_run.h"
#include "driver/driver.h"
#include "os/cancel.h"
#include "soak/soak_parts.h"

namespace quorel::sim {

namespace {

constexpr int kCutRuns = 8;        // runs 1 to 8 may be cut; later runs are not
constexpr int kRunsAfterCuts = 2;  // a run that says to restore, then the run that restores

// What a run was doing, from the commands it sent.
struct PhaseWatch {
  CutPhase phase = CutPhase::kConnect;
  uint32_t address = 0;
  void Take(const std::string& c) {
    const char letter = c.empty() ? '\0' : c[0];
    if (letter == 'A') address = HexArgument(c);
    if (c == "A008000" && phase == CutPhase::kConnect) phase = CutPhase::kIdentify;
    if (c == "M" && phase < CutPhase::kReadout) phase = CutPhase::kReadout;
    if (letter == 'D' && IsConfigBlock(address) && phase < CutPhase::kWriteBack)
      phase = CutPhase::kWriteBack;
    if (c.compare(0, 5, "JDOWN") == 0) phase = CutPhase::kDownload;
    if (c.compare(0, 6, "JFLASH") == 0) phase = CutPhase::kFlash;
  }
  // Configuration records go in 256-byte blocks from their own places; image blocks start at
  // multiples of 1024 from 0x8000 on.
  static bool IsConfigBlock(uint32_t a) {
    return a >= expected::kConfigBase &&
           (a < expected::kConfigEnd ||
            (a < expected::kConfigBase + expected::kBufferBytes && a % expected::kImageBlock != 0));
  }
};

// The moment of a cut: once the run has reached `phase`, `commands` commands later, then
// `bytes` bytes later.
struct Moment {
  CutPhase phase = CutPhase::kNever;
  uint32_t commands = 0;
  uint32_t bytes = 0;
  uint32_t secondBytes = 0;  // Ctrl-C twice: the second this many bytes after the first
};

// The updater's devices for one run: the tap, followed by the cut. Fires the cut when its
// moment comes, and collects every configuration block whose sum the run asked.
class CutDevices : public WatchingDevices {
 public:
  CutDevices(UpdaterTap& tap, Moment moment, std::function<void()> fire,
             std::function<void()> fireAgain)
      : WatchingDevices(static_cast<SerialDevices&>(tap)),
        moment_(moment),
        fire_(std::move(fire)),
        fireAgain_(std::move(fireAgain)) {
    tap.SetCommandObserver([this, &tap](const std::string& c) { Take(tap, c); });
  }

  struct SentBlock {
    uint32_t address;
    std::string data;
  };
  const std::vector<SentBlock>& configBlocks() const { return configBlocks_; }
  // Every data block the run sent, queried or not, in order.
  const std::vector<SentBlock>& allBlocks() const { return allBlocks_; }
  // Called when the first "K" after a read goes out: the run's reading is complete.
  void OnReadDone(std::function<void()> done) { readDone_ = std::move(done); }
  CutPhase phase() const { return watch_.phase; }
  CutPhase firedIn() const { return firedIn_; }

 protected:
  void OnOpen(const char*, int32_t, OpenResult) override {}
  void OnRead(const uint8_t*, size_t, int32_t) override {}
  void OnClose(int32_t) override {}
  void OnWrite(const uint8_t*, size_t count, int32_t) override {
    if (armed_ && !fired_) {
      bytes_ += count;
      if (bytes_ >= moment_.bytes) {
        fired_ = true;
        firedIn_ = watch_.phase;
        bytes_ = 0;
        fire_();
      }
    } else if (fired_ && fireAgain_ && !firedAgain_) {
      bytes_ += count;
      if (bytes_ >= moment_.secondBytes) {
        firedAgain_ = true;
        fireAgain_();
      }
    }
  }

 private:
  void Take(const UpdaterTap& tap, const std::string& c) {
    watch_.Take(c);
    if (c == "M") readSeen_ = true;
    if (c == "K" && readSeen_ && readDone_) {
      readDone_();
      readDone_ = nullptr;
    }
    if (c.compare(0, 2, "D[") == 0) {
      const size_t n = std::strtoul(c.c_str() + 2, nullptr, 10);
      allBlocks_.push_back(
          SentBlock{watch_.address, tap.written().substr(tap.written().size() - n)});
    }
    if (c.compare(0, 2, "D[") == 0 && PhaseWatch::IsConfigBlock(watch_.address)) {
      pending_ = allBlocks_.back();
      havePending_ = true;
    } else if (c == "C" && havePending_) {
      configBlocks_.push_back(pending_);
      havePending_ = false;
    } else {
      havePending_ = false;
    }
    if (moment_.phase == CutPhase::kNever || armed_) return;
    if (!reached_ && watch_.phase >= moment_.phase) reached_ = true;
    if (reached_ && commands_++ >= moment_.commands) armed_ = true;
  }

  Moment moment_;
  std::function<void()> fire_;
  std::function<void()> fireAgain_;
  PhaseWatch watch_;
  bool reached_ = false, armed_ = false, fired_ = false, firedAgain_ = false;
  uint32_t commands_ = 0;
  uint64_t bytes_ = 0;
  CutPhase firedIn_ = CutPhase::kNever;
  SentBlock pending_;
  bool havePending_ = false;
  std::vector<SentBlock> configBlocks_;
  std::vector<SentBlock> allBlocks_;
  bool readSeen_ = false;
  std::function<void()> readDone_;
};

// The original unit and what it must end with.
struct Original {
  ProductKind model = kProModel;
  ReleaseCode release = 0;  // of its row; 0 when no row identifies it
  uint32_t checksum = 0;
  std::vector<uint8_t> memory;
  int kind = 0;
  uint32_t recordSize = 0;  // of the records written back; 0 without a conversion
  std::vector<uint8_t> converted;
  std::vector<uint8_t> area;  // 0x4000..0x7FFF as it must end
  std::vector<bool> defined;  // the bytes of area the conversion defines
};

SoakLayout LayoutOf(uint32_t size) {
  return size == expected::kRecordV1   ? SoakLayout::kV1
         : size == expected::kRecordV2 ? SoakLayout::kV2
                                       : SoakLayout::kV3;
}

// An older release of the payload's model, preferring one whose records are in a layout drawn
// first; most of them need a conversion. Returns the size of its records.
uint32_t DrawOlderRelease(SoakRandom& random, const FirmwarePayload& payload, Original& o,
                          std::string& text) {
  const ReleaseTable& table = payload.releaseTable;
  const uint32_t wanted = random.Chance(0.85) ? random.Below(2) : 2;  // V1, V2, or V3
  std::vector<uint32_t> rows;
  for (uint32_t row = 0; row < table.rows; ++row) {
    if (expected::FirstRow(table, table.checksum[row]) != row || table.kind[row] != o.model ||
        !expected::Older(table.code[row], payload.releaseCode)) {
      continue;
    }
    if (LayoutOf(expected::RecordSizeOf(o.model, table.code[row])) ==
        static_cast<SoakLayout>(wanted))
      rows.push_back(row);
  }
  if (rows.empty()) {
    for (uint32_t row = 0; row < table.rows; ++row) {
      if (expected::FirstRow(table, table.checksum[row]) == row && table.kind[row] == o.model &&
          expected::Older(table.code[row], payload.releaseCode)) {
        rows.push_back(row);
      }
    }
  }
  const uint32_t row = rows[random.Below(static_cast<uint32_t>(rows.size()))];
  o.release = table.code[row];
  o.checksum = table.checksum[row];
  const uint32_t size = expected::RecordSizeOf(o.model, o.release);
  text += Format("%s payload, unit %06x", ProductName(o.model), o.release);
  return size;
}

// A unit no row identifies, with records of any layout. Returns the size of its records.
uint32_t DrawUnidentified(SoakRandom& random, const ReleaseTable& table, Original& o,
                          std::string& text) {
  do {
    o.checksum = 0x300000 + random.Below(0x300000);
  } while (expected::FirstRow(table, o.checksum) != table.rows);
  const uint32_t sizes[] = {expected::kRecordV1, expected::kRecordV2, expected::kRecordV3};
  const uint32_t size = sizes[random.Below(3)];
  text += Format("%s payload, unidentified unit (csum %x)", ProductName(o.model), o.checksum);
  return size;
}

// What the unit must end with: the originals converted once, at their places below 0x8000.
void SetWhatItMustEndWith(Original& o, const FirmwarePayload& payload, bool skew) {
  const uint8_t* area = o.memory.data() + expected::kConfigBase;
  o.kind = o.release != 0 ? expected::KindForRelease(o.release, o.model, payload.releaseCode)
                          : expected::KindForFirstRecord(area, o.model);
  o.area.assign(area, area + (expected::kConfigEnd - expected::kConfigBase));
  o.defined.assign(o.area.size(), true);
  if (o.kind != 0) {
    std::vector<uint8_t> buffer(expected::kBufferBytes, 0);
    std::memcpy(buffer.data(), area, expected::kReadoutBytes);
    o.converted = expected::Converted(buffer.data(), o.kind, o.model, payload.releaseCode);
    if (skew) o.converted[0x40] ^= 0x01;
    o.recordSize = expected::TargetRecordSize(o.model, payload.releaseCode);
    const uint32_t s = o.recordSize;
    for (uint32_t i = 0; i < expected::kRecords; ++i) {
      const uint32_t place = expected::RecordAddress(i, s, o.converted[i * s]);
      for (uint32_t k = 0; k < s && place + k < expected::kConfigEnd; ++k) {
        o.area[place + k - expected::kConfigBase] = o.converted[i * s + k];
        o.defined[place + k - expected::kConfigBase] = k < s - 2;
      }
    }
  }
}

// The unit: an older release of the payload's model (most of them needing a conversion), or
// one no row identifies (its owner answers y); records in its layout, record 5 sometimes marked.
Original DrawOriginal(SoakRandom& random, const FirmwarePayload& payload, bool skew,
                      std::string& text) {
  Original o;
  o.model = payload.productKind;
  SimulatedUnit unit;
  std::vector<uint8_t>& memory = unit.memory();
  for (const expected::Range& r :
       {expected::kMainFirst, expected::kMainSecond, expected::kSecondImage})
    for (uint32_t a = r.start; a < r.end; ++a) memory[a] = static_cast<uint8_t>(random.Next());
  uint32_t size = 0;
  if (random.Chance(0.8)) {
    size = DrawOlderRelease(random, payload, o, text);
  } else {
    size = DrawUnidentified(random, payload.releaseTable, o, text);
  }
  unit.WriteConfigRecords(size, static_cast<uint32_t>(random.Next()), true);
  text += Format(", %u-byte records", size);
  if (size != expected::kRecordV3 && random.Chance(0.3)) {
    memory[expected::kConfigBase + 5 * size] = expected::kMovedRecordMark;
    text += ", record 5 marked";
  }
  unit.SetCodeRegionChecksum(o.checksum);
  o.memory = memory;
  SetWhatItMustEndWith(o, payload, skew);
  return o;
}

// True when a configuration block carries one conversion of the original records at its place
// (every byte the conversion defines).
bool BlockIsConverted(const Original& o, uint32_t address, const std::string& data) {
  const uint32_t s = o.recordSize;
  if (s == 0) return false;
  for (uint32_t i = 0; i < expected::kRecords; ++i) {
    const uint32_t place = expected::RecordAddress(i, s, o.converted[i * s]);
    if (address < place || address + data.size() > place + s) continue;
    bool same = true;
    for (uint32_t k = 0; k < data.size() && same; ++k) {
      const uint32_t offset = address - place + k;
      same = offset >= s - 2 || static_cast<uint8_t>(data[k]) == o.converted[i * s + offset];
    }
    if (same) return true;
  }
  return false;
}

// The first byte of the configuration area, below 0x8000, that differs from what it must end
// with in a field the conversion defines; -1 when none does.
long FirstWrongSetting(const Original& o, const std::vector<uint8_t>& memory) {
  for (size_t k = 0; k < o.area.size(); ++k) {
    if (o.defined[k] && memory[expected::kConfigBase + k] != o.area[k]) return static_cast<long>(k);
  }
  return -1;
}

// The copy the run told the owner to restore: the path after the first "--restore-config ".
std::string RestorePath(const std::string& console) {
  const std::string key = "--restore-config ";
  const size_t at = console.find(key);
  if (at == std::string::npos) return "";
  const size_t start = at + key.size();
  size_t end = start;
  while (end < console.size() && console[end] != '\n' && console[end] != '\r') ++end;
  std::string path = console.substr(start, end - start);
  while (!path.empty() && (path.back() == ' ' || path.back() == '"' || path.back() == '\''))
    path.pop_back();
  if (!path.empty() && (path[0] == '"' || path[0] == '\'')) path.erase(0, 1);
  return path;
}

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// A folder of its own for the automatic copies of one series.
// A folder of its own for the automatic copies of one series; the state folder the process had
// is back once the series is over.
struct StateFolder {
  std::string path;
  bool hadBefore = false;
  std::string before;
  StateFolder() {
    const char* current = getenv("XDG_STATE_HOME");
    hadBefore = current != nullptr;
    if (hadBefore) before = current;
    char name[] = "/tmp/quorel-soak-state-XXXXXX";
    if (mkdtemp(name) != nullptr) path = name;
    if (!path.empty()) setenv("XDG_STATE_HOME", path.c_str(), 1);
  }
  ~StateFolder() {
    std::error_code ignored;
    if (!path.empty()) std::filesystem::remove_all(path, ignored);
    if (hadBefore) {
      setenv("XDG_STATE_HOME", before.c_str(), 1);
    } else {
      unsetenv("XDG_STATE_HOME");
    }
  }
  StateFolder(const StateFolder&) = delete;
  StateFolder& operator=(const StateFolder&) = delete;
};

// The payload: the compiled-in Pro release, or the same release built for the base model
// (its own rows then of that model, so that its image identifies as what it is). The rows'
// models are then kept in kinds, which must outlive the payload.
FirmwarePayload DrawPayload(SoakRandom& random, std::vector<uint32_t>& kinds) {
  FirmwarePayload payload = CompiledPayload();
  kinds.assign(payload.releaseTable.kind, payload.releaseTable.kind + payload.releaseTable.rows);
  if (random.Chance(0.2)) {
    payload.productKind = kBaseModel;
    for (uint32_t row = 0; row < payload.releaseTable.rows; ++row) {
      if (payload.releaseTable.code[row] == payload.releaseCode) kinds[row] = kBaseModel;
    }
    payload.releaseTable.kind = kinds.data();
  }
  return payload;
}

// The series so far: what each run reads, and what it leaves for the runs after it.
struct Series {
  uint64_t seed;
  const SeriesOptions& options;
  SoakRandom& random;
  const FirmwarePayload& payload;
  const Original& original;
  SeriesOutcome& out;
  std::vector<uint8_t> memory;  // the unit's memory between runs
  std::string restore{};        // the copy the last run told the owner to restore
  bool lineDamageSeen = false;  // line damage made a run misread or misplace settings
  int lastCut = 0;

  void Violation(int run, const std::string& text) {
    out.violations.push_back(Format("run %d: %s", run, text.c_str()));
  }
};

// What a cut leaves for the unit's memory after the run.
struct Aftermath {
  bool powerCut = false;
  bool keepSettingsAtPowerCut = false;
};

// The cause of a run's cut and its moment: the first runs are mostly cut, later ones never.
Moment DrawCut(Series& s, int run, SeriesRun& record) {
  SoakRandom& random = s.random;
  Moment moment;
  if (run <= kCutRuns && random.Chance(0.9)) {
    const CutCause causes[] = {CutCause::kCtrlC,  CutCause::kCtrlCTwice, CutCause::kPortLost,
                               CutCause::kSilent, CutCause::kPowerCut,   CutCause::kLineDamage};
    record.cause = causes[random.Below(6)];
    s.lastCut = run;
    const double pick = random.Unit();
    struct Weight {
      CutPhase phase;
      double upTo;
      uint32_t commands;
    };
    static const Weight kWeights[] = {
        {CutPhase::kConnect, 0.08, 12},    {CutPhase::kIdentify, 0.15, 8},
        {CutPhase::kReadout, 0.35, 700},   {CutPhase::kWriteBack, 0.70, 250},
        {CutPhase::kDownload, 0.95, 1400}, {CutPhase::kFlash, 1.0, 3}};
    for (const Weight& w : kWeights) {
      if (pick < w.upTo) {
        moment.phase = w.phase;
        moment.commands = random.Below(w.commands);
        break;
      }
    }
    moment.bytes = random.Below(300);
    moment.secondBytes = 1 + random.Below(4000);
    if (record.cause == CutCause::kLineDamage) moment.phase = CutPhase::kNever;
  }
  return moment;
}

// What the cut does when its moment comes.
std::function<void()> CutAction(CutCause cause, SoakRig& rig, Aftermath& after) {
  return [cause, &rig, &after] {
    switch (cause) {
      case CutCause::kCtrlC:
      case CutCause::kCtrlCTwice:
        RequestCancel();
        break;
      case CutCause::kPortLost:
        rig.devices.LoseAfterBytesWritten(0);
        break;
      case CutCause::kSilent:
        rig.unit.faults().silentAfterBlocks = static_cast<int>(rig.unit.stats().dataBlocks);
        break;
      case CutCause::kPowerCut:
        rig.unit.faults().absent = true;
        after.powerCut = true;
        break;
      default:
        break;
    }
  };
}

// Damage on the line for a run whose cut it is, each kind drawn up to the series' rate.
LineFaults DrawRunLineDamage(Series& s, int run) {
  SoakRandom& random = s.random;
  LineFaults line;
  line.seed = s.seed * 131 + static_cast<uint64_t>(run);
  const double high = s.options.maxLineFaultRate;
  line.dropRate = random.Chance(0.5) ? random.LogUniform(1e-6, high) : 0.0;
  line.flipRate = random.Chance(0.5) ? random.LogUniform(1e-6, high) : 0.0;
  line.insertRate = random.Chance(0.5) ? random.LogUniform(1e-6, high) : 0.0;
  return line;
}

// The run's command line: a speed now and then, and the copy to restore when the run before
// told the owner to.
std::vector<std::string> DrawArgs(SoakRandom& random, const std::string& restore) {
  std::vector<std::string> args;
  const uint32_t speed = random.Below(4);
  if (speed < 2) args.push_back("-s" + std::to_string(speed + 1));
  if (!restore.empty()) {
    args.push_back("--restore-config");
    args.push_back(restore);
  }
  return args;
}

// What a run of the updater showed besides the rig.
struct Ran {
  bool watchdog = false;         // the run passed its bound of virtual time
  bool unitAnswered = false;     // the unit answered the run
  std::vector<uint8_t> readAtK;  // the run's readout once its reading was complete
};

// Runs the updater over the cut devices with the owner's keys, under the watchdog.
Ran RunUpdater(SoakRig& rig, CutDevices& cut, const std::vector<std::string>& args,
               SeriesRun& record) {
  Ran ran;
  rig.console = ScriptedConsole("yq");
  UpdateState state(cut, rig.clock, rig.console, rig.payload);
  cut.OnReadDone([&] {
    ran.readAtK.assign(state.facts.configReadout.begin(),
                       state.facts.configReadout.begin() + expected::kReadoutBytes);
  });
  // The watchdog: past the bound the port goes away, which every phase notices at once.
  const uint64_t start = rig.clock.NowNs();
  const uint64_t bound = SoakTimeBoundNs();
  const int owner = 0;
  rig.clock.AddObserver(&owner, [&](uint64_t now) {
    if (now - start > bound && !ran.watchdog) {
      ran.watchdog = true;
      rig.devices.LoseAfterBytesWritten(0);
    }
  });
  std::vector<const char*> argv = {"quorel-update"};
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  record.status = RunUpdate(state, static_cast<int>(argv.size()), argv.data());
  rig.clock.RemoveObserver(&owner);
  rig.devices.FinishInFlight();
  ResetCancel();
  ran.unitAnswered = state.link.unitAnswered;
  return ran;
}

// Line damage explains settings that differ only where it made this run read bytes other
// than the unit held, or put data in the configuration area other than the run sent.
bool LineDamageMisled(const SoakRig& rig, const CutDevices& cut, const std::vector<uint8_t>& memory,
                      const std::vector<uint8_t>& readAtK) {
  bool misread = false;
  for (const auto& [address, length] : rig.tap.reads()) {
    for (uint32_t a = address; a < address + length && !readAtK.empty(); ++a) {
      if (a >= expected::kConfigBase && a < expected::kConfigBase + expected::kReadoutBytes &&
          readAtK[a - expected::kConfigBase] != memory[a]) {
        misread = true;
      }
    }
  }
  std::vector<uint8_t> sent(memory.begin() + expected::kConfigBase,
                            memory.begin() + expected::kConfigEnd);
  for (const CutDevices::SentBlock& block : cut.allBlocks()) {
    for (size_t k = 0; k < block.data.size(); ++k) {
      const uint32_t a = block.address + static_cast<uint32_t>(k);
      if (a >= expected::kConfigBase && a < expected::kConfigEnd)
        sent[a - expected::kConfigBase] = static_cast<uint8_t>(block.data[k]);
    }
  }
  const bool misplaced =
      !std::equal(sent.begin(), sent.end(), rig.unit.memory().begin() + expected::kConfigBase);
  return misread || misplaced;
}

// How the run ended: within its bound, and saying so, its port closed, X last.
void JudgeEnding(Series& s, int run, const SoakRig& rig, const SeriesRun& record, const Ran& ran) {
  const std::string& console = rig.console.output();
  if (ran.watchdog) s.Violation(run, "the run had not ended within its bound of virtual time");
  if (record.status == kStatusInterrupted) {
    // The run says so last, or says so and then how to put back settings it left partly
    // written.
    const char kNotFlashed[] = "\nInterrupted. The unit was not flashed. Update exiting\n";
    const size_t said = console.rfind(kNotFlashed);
    const bool restoreAfter = said != std::string::npos && RestorePath(console.substr(said)) != "";
    if (!EndsWith(console, kNotFlashed) && !restoreAfter &&
        !EndsWith(console, "\nInterrupted after the flash command was sent.\n")) {
      s.Violation(run, "interrupted without saying so last");
    }
    if (rig.devices.lineOpen()) s.Violation(run, "the port was left open");
    const std::string& written = rig.tap.written();
    if (ran.unitAnswered && !rig.devices.unplugged() && !rig.tap.flashSent() &&
        (written.empty() || written.back() != 'X')) {
      s.Violation(run, "interrupted after the unit answered without sending X last");
    }
  } else {
    expected::FinishedRun finished;
    finished.status = record.status;
    finished.console = &console;
    finished.tap = &rig.tap;
    finished.portOpen = rig.devices.lineOpen();
    finished.unitAnswered = ran.unitAnswered;
    finished.portGone = rig.devices.unplugged();
    std::vector<std::string> problems;
    expected::CheckEnding(finished, &problems);
    for (const std::string& p : problems) s.Violation(run, p);
  }
}

// A download cut short leaves the code region part new and part old; its sum may match a
// row of the other model, and the unit is refused. The owner then power-cycles the unit,
// which loses what was downloaded and not flashed, and runs again. A run without a cut
// completes, is refused, or says to restore a copy.
void JudgeRefusal(Series& s, int run, SeriesRun& record, const std::string& console,
                  Aftermath& after) {
  record.refused = console.find("Firmware not updated...Exiting") != std::string::npos;
  if (record.refused) {
    after.powerCut = true;
    after.keepSettingsAtPowerCut = true;
    s.lastCut = run;
  }
  if (record.cause == CutCause::kNone && !record.flashed && !record.refused &&
      RestorePath(console).empty()) {
    s.Violation(run, "a run without a cut did not complete: " +
                         console.substr(console.size() > 200 ? console.size() - 200 : 0));
  }
}

// Every configuration block the run meant (and asked the sum of) is one conversion of the
// originals.
void JudgeConfigBlocks(Series& s, int run, const CutDevices& cut) {
  for (const CutDevices::SentBlock& block : cut.configBlocks()) {
    if (BlockIsConverted(s.original, block.address, block.data)) continue;
    if (s.lineDamageSeen) {
      s.out.lineLimit = true;
      continue;
    }
    s.Violation(
        run, Format("wrote a configuration block at %06X that is not one conversion "
                    "of the original records%s",
                    block.address, s.original.kind == 0 ? " (the unit needs no conversion)" : ""));
    break;
  }
}

// The unit's memory for the next run. After a power cut what was downloaded and not flashed
// is gone; the settings written since the run began stay, or go back to what the unit held
// when the run began (a unit may keep them or not).
void CarryMemory(Series& s, const SimulatedUnit& unit, const Aftermath& after) {
  if (after.powerCut) {
    const bool keepSettings = after.keepSettingsAtPowerCut || s.random.Chance(0.5);
    for (uint32_t a = 0; a < s.memory.size(); ++a) {
      const bool settings = a >= expected::kConfigBase && a < expected::kConfigEnd;
      if (!settings) {
        s.memory[a] = s.original.memory[a];
      } else if (keepSettings) {
        s.memory[a] = unit.memory()[a];
      }
    }
  } else {
    s.memory = unit.memory();
  }
}

// The run that flashed leaves the settings one conversion of the originals.
void JudgeFlashed(Series& s, int run, const SimulatedUnit& unit) {
  s.out.completed = true;
  const long wrong = FirstWrongSetting(s.original, unit.memory());
  if (wrong >= 0) {
    if (s.lineDamageSeen) {
      s.out.lineLimit = true;
    } else {
      s.out.settingsLost = true;
      s.Violation(run, Format("flashed with settings that are not one conversion of the "
                              "originals (first difference at %06lX)",
                              expected::kConfigBase + static_cast<unsigned long>(wrong)));
    }
  }
}

// One run of the series on the unit's memory as the runs before left it: its cut drawn, the
// updater run, the run judged, the memory carried on. True when it flashed the unit.
bool RunOnce(Series& s, int run) {
  SeriesRun record;
  record.restoreGiven = !s.restore.empty();
  const Moment moment = DrawCut(s, run, record);
  auto rig = std::make_unique<SoakRig>();
  rig->payload = s.payload;
  rig->unit.memory() = s.memory;
  Aftermath after;
  std::function<void()> again;
  if (record.cause == CutCause::kCtrlCTwice) again = [] { RequestCancel(); };
  CutDevices cut(rig->tap, moment, CutAction(record.cause, *rig, after), again);
  if (record.cause == CutCause::kLineDamage) rig->devices.SetLineFaults(DrawRunLineDamage(s, run));
  const Ran ran = RunUpdater(*rig, cut, DrawArgs(s.random, s.restore), record);
  if (rig->devices.lineFaultsInjected() > 0 && LineDamageMisled(*rig, cut, s.memory, ran.readAtK))
    s.lineDamageSeen = true;
  record.phase = record.cause == CutCause::kLineDamage
                     ? (record.status == 1 ? CutPhase::kNever : cut.phase())
                     : cut.firedIn();
  record.flashed = rig->unit.flashed();
  const std::string& console = rig->console.output();
  if (s.options.keepTexts) record.console = console;

  JudgeEnding(s, run, *rig, record, ran);
  JudgeRefusal(s, run, record, console, after);
  JudgeConfigBlocks(s, run, cut);
  CarryMemory(s, rig->unit, after);
  record.saidRestore = !RestorePath(console).empty();
  s.restore = RestorePath(console);
  s.out.runs.push_back(record);
  if (!record.flashed) return false;
  JudgeFlashed(s, run, rig->unit);
  return true;
}

}  // namespace

const char* CutCauseName(CutCause cause) {
  switch (cause) {
    case CutCause::kNone:
      return "none";
    case CutCause::kCtrlC:
      return "Ctrl-C";
    case CutCause::kCtrlCTwice:
      return "Ctrl-C twice";
    case CutCause::kPortLost:
      return "port lost";
    case CutCause::kSilent:
      return "unit silent";
    case CutCause::kPowerCut:
      return "power cut";
    case CutCause::kLineDamage:
      return "line damage";
  }
  return "?";
}

const char* CutPhaseName(CutPhase phase) {
  switch (phase) {
    case CutPhase::kConnect:
      return "connect";
    case CutPhase::kIdentify:
      return "identify";
    case CutPhase::kReadout:
      return "readout";
    case CutPhase::kWriteBack:
      return "write-back";
    case CutPhase::kDownload:
      return "download";
    case CutPhase::kFlash:
      return "flash";
    case CutPhase::kNever:
      return "never came";
  }
  return "?";
}

SeriesOutcome RunSoakSeries(uint64_t seed, const SeriesOptions& options) {
  SeriesOutcome out;
  out.seed = seed;
  SoakRandom random(seed * 0x9E3779B97F4A7C15ull + 0x632BE59BD9B4E019ull);
  std::vector<uint32_t> kinds;
  const FirmwarePayload payload = DrawPayload(random, kinds);
  const Original original =
      DrawOriginal(random, payload, options.skewExpectedSettings, out.description);
  out.conversionKind = original.kind;
  StateFolder folder;
  Series series{seed, options, random, payload, original, out, original.memory};

  for (int run = 1;; ++run) {
    if (run > series.lastCut + kRunsAfterCuts) {
      series.Violation(run - 1, Format("the unit was still not updated %d runs after the last cut",
                                       kRunsAfterCuts));
      break;
    }
    if (RunOnce(series, run)) break;
  }
  return out;
}

void SeriesTotals::Add(const SeriesOutcome& o) {
  ++seeds;
  if (o.completed) ++completed;
  runs += o.runs.size();
  maxRuns = std::max<uint64_t>(maxRuns, o.runs.size());
  ++byKind[o.conversionKind];
  for (const SeriesRun& r : o.runs) {
    if (r.restoreGiven) ++restoreRuns;
    if (r.refused) ++refusedRuns;
    if (r.saidRestore) ++saidRestore;
    if (r.cause != CutCause::kNone) ++cuts[r.cause][r.phase];
  }
  if (o.settingsLost) ++settingsLost;
  if (o.lineLimit) ++lineLimit;
  if (!o.violations.empty()) {
    violations += o.violations.size();
    failingSeeds.push_back(o.seed);
  }
}

void PrintSeries(const SeriesOutcome& o, bool details) {
  std::printf("seed %" PRIu64 ": %s; %zu run(s), %s", o.seed, o.description.c_str(), o.runs.size(),
              o.completed ? "updated" : "NOT updated");
  if (!o.violations.empty()) std::printf(", %zu VIOLATIONS", o.violations.size());
  std::printf("\n");
  if (!details) return;
  int n = 0;
  for (const SeriesRun& r : o.runs) {
    std::printf("  run %d: cut %s in %s, status %d%s%s%s%s\n", ++n, CutCauseName(r.cause),
                CutPhaseName(r.phase), r.status, r.flashed ? ", flashed" : "",
                r.refused ? ", refused (then power-cycled)" : "",
                r.restoreGiven ? ", with --restore-config" : "",
                r.saidRestore ? ", said to restore" : "");
    if (!r.console.empty())
      std::printf("---- console ----\n%s\n-----------------\n", r.console.c_str());
  }
  for (const std::string& v : o.violations) std::printf("  VIOLATION: %s\n", v.c_str());
}

void PrintSeriesSummary(const SeriesTotals& t, uint64_t first, double cpu) {
  std::printf("\nquorel-soak --until-done: %" PRIu64 " seeds (%" PRIu64 "..%" PRIu64 "), %" PRIu64
              " runs\n\n",
              t.seeds, first, first + t.seeds - 1, t.runs);
  std::printf("  %-46s %8" PRIu64 "\n", "seeds whose unit was updated", t.completed);
  for (const auto& [kind, count] : t.byKind)
    std::printf("    %-44s %8" PRIu64 "\n", Format("needing conversion kind %d", kind).c_str(),
                count);
  std::printf("  %-46s %8.2f (most %" PRIu64 ")\n", "runs per seed",
              t.seeds ? static_cast<double>(t.runs) / static_cast<double>(t.seeds) : 0.0,
              t.maxRuns);
  std::printf("  %-46s %8" PRIu64 "\n", "runs that said to restore a copy", t.saidRestore);
  std::printf("  %-46s %8" PRIu64 "\n", "runs given --restore-config", t.restoreRuns);
  std::printf("  %-46s %8" PRIu64 "\n", "runs refused (code region left by a cut download)",
              t.refusedRuns);
  std::printf("  %-46s %8" PRIu64 "\n", "settings lost", t.settingsLost);
  std::printf("  %-46s %8" PRIu64 "\n", "settings differing after line damage", t.lineLimit);
  std::printf("  %-46s %8" PRIu64 "\n", "invariant violations", t.violations);
  std::printf("\n  cuts by cause and phase:\n  %-13s", "");
  const CutPhase phases[] = {CutPhase::kConnect,   CutPhase::kIdentify, CutPhase::kReadout,
                             CutPhase::kWriteBack, CutPhase::kDownload, CutPhase::kFlash,
                             CutPhase::kNever};
  for (CutPhase p : phases) std::printf(" %10s", CutPhaseName(p));
  std::printf("\n");
  for (const auto& [cause, byPhase] : t.cuts) {
    std::printf("  %-13s", CutCauseName(cause));
    for (CutPhase p : phases) {
      const auto it = byPhase.find(p);
      std::printf(" %10" PRIu64, it == byPhase.end() ? 0 : it->second);
    }
    std::printf("\n");
  }
  std::printf("\n  %-46s %8.1f s\n", "CPU time", cpu);
  if (!t.failingSeeds.empty()) {
    std::printf("\n  FAILING seeds:");
    for (size_t i = 0; i < t.failingSeeds.size() && i < 12; ++i)
      std::printf(" %" PRIu64, t.failingSeeds[i]);
    if (t.failingSeeds.size() > 12) std::printf(" ... (%zu in all)", t.failingSeeds.size());
    std::printf("\n  replay one with: quorel-soak --until-done --seed %" PRIu64 " --verbose\n",
                t.failingSeeds[0]);
  }
}

}  // namespace quorel::sim
