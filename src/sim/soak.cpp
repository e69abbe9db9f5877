#include "sim/soak.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <utility>

#include "config/records.h"
#include "console/console.h"
#include "payload/payload.h"
#include "serial/link.h"
#include "sim/simulated_unit.h"
#include "sim/virtual_clock.h"
#include "driver/driver.h"
#include "protocol/protocol.h"
#include "payload/release_code.h"
#include "protocol/update_state.h"
#include "sim/scripted_console.h"

namespace quorel::sim {

// ---- UpdaterTap ----

// The line handed to the updater: every call goes on to the wrapped line, and the tap sees the
// bytes written and read on the way.
class TapLine : public SerialLine {
 public:
  TapLine(UpdaterTap& tap, std::unique_ptr<SerialLine> inner)
      : tap_(tap), inner_(std::move(inner)) {}
  void Write(const uint8_t* data, size_t count) override {
    inner_->Write(data, count);
    tap_.Wrote(data, count);
  }
  size_t Read(uint8_t* destination, size_t count) override {
    size_t got = inner_->Read(destination, count);
    tap_.ReadBytes(destination, got);
    return got;
  }
  size_t BytesPending() override { return inner_->BytesPending(); }
  void DrainOutput() override { inner_->DrainOutput(); }
  bool Lost() const override { return inner_->Lost(); }

 private:
  UpdaterTap& tap_;
  std::unique_ptr<SerialLine> inner_;
};

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

uint32_t ArgumentValue(const std::string& command, bool hex) {
  uint32_t value = 0;
  for (size_t i = 1; i < command.size(); ++i) {
    value = value * (hex ? 16u : 10u) + static_cast<uint32_t>(HexValue(command[i]));
  }
  return value;
}

}  // namespace

bool ParseChecksumText(const std::string& text, uint32_t* value) {
  const std::string head = text.substr(0, text.find('\0'));
  if (head.compare(0, 3, "CS=") != 0) return false;
  size_t digits = 0;
  uint32_t parsed = 0;
  while (digits < 8 && 3 + digits < head.size() && HexValue(head[3 + digits]) >= 0) {
    parsed = parsed * 16 + static_cast<uint32_t>(HexValue(head[3 + digits]));
    ++digits;
  }
  if (digits == 0) return false;
  *value = parsed;
  return true;
}

OpenResult UpdaterTap::Open(const char* portName, int32_t lineSpeed, int32_t parity,
                            std::unique_ptr<SerialLine>* line) {
  std::unique_ptr<SerialLine> opened;
  OpenResult result = inner_.Open(portName, lineSpeed, parity, &opened);
  if (result == kOpenOk) *line = std::make_unique<TapLine>(*this, std::move(opened));
  // A reopened port starts without a reply on its way.
  replyDue_ = false;
  return result;
}

void UpdaterTap::Wrote(const uint8_t* data, size_t count) {
  replyDue_ = false;
  for (size_t i = 0; i < count; ++i) {
    written_ += static_cast<char>(data[i]);
    TakeByte(data[i]);
  }
}

void UpdaterTap::ReadBytes(const uint8_t* data, size_t count) {
  if (!replyDue_ || count == 0) return;
  // The first read after a block's C is the reply the updater judges the block by.
  replyDue_ = false;
  BlockAttempt& attempt = attempts_.back();
  attempt.replyRead = true;
  attempt.reply.assign(reinterpret_cast<const char*>(data), count);
  attempt.reply = attempt.reply.substr(0, attempt.reply.find('\0'));
  attempt.replyParsed = ParseChecksumText(attempt.reply, &attempt.replyValue);
}

void UpdaterTap::TakeByte(uint8_t byte) {
  switch (mode_) {
    case Mode::kData:
      dataSum_ += byte;
      dataHash_ = (dataHash_ ^ byte) * 0x100000001B3ull;
      if (++dataCount_ >= length_) {
        mode_ = Mode::kCommand;
        Finish("D[" + std::to_string(length_) + "]");
      }
      return;
    case Mode::kMessage:
      pending_ += static_cast<char>(byte);
      if (byte == '\n') {
        mode_ = Mode::kCommand;
        Finish(pending_);
      }
      return;
    case Mode::kArgument:
      pending_ += static_cast<char>(byte);
      if (pending_.size() == 1 + argumentDigits_) {
        mode_ = Mode::kCommand;
        Finish(pending_);
      }
      return;
    case Mode::kCommand:
      break;
  }
  pending_.assign(1, static_cast<char>(byte));
  switch (byte) {
    case 'B':
    case 'A':
    case 'L':
      mode_ = Mode::kArgument;
      argumentDigits_ = 6;
      return;
    case 'F':
      mode_ = Mode::kArgument;
      argumentDigits_ = 4;
      return;
    case 'V':
      mode_ = Mode::kArgument;
      argumentDigits_ = 1;
      return;
    case 'J':
      mode_ = Mode::kMessage;
      return;
    case 'D':
      dataCount_ = 0;
      dataSum_ = 0;
      dataHash_ = 0xCBF29CE484222325ull;
      if (length_ == 0) {
        Finish("D[0]");
      } else {
        mode_ = Mode::kData;
      }
      return;
    default:
      Finish(pending_);
      return;
  }
}

void UpdaterTap::Finish(const std::string& command) {
  const char letter = command.empty() ? '\0' : command[0];
  if (letter == 'A') {
    address_ = ArgumentValue(command, true);
  } else if (letter == 'L') {
    length_ = ArgumentValue(command, true);
  } else if (letter == 'D') {
    BlockAttempt attempt;
    attempt.address = address_;
    attempt.length = length_;
    attempt.sum = dataSum_;
    attempt.hash = dataHash_;
    attempts_.push_back(attempt);
    lastAttemptAt_[address_] = attempts_.size() - 1;
    blockAwaitsQuery_ = true;
  } else if (command == "M") {
    reads_.push_back({address_, length_});
  } else if (letter == 'C') {
    // Only the C straight after a block's data belongs to the block.
    if (blockAwaitsQuery_) replyDue_ = true;
    blockAwaitsQuery_ = false;
  } else if (command == "F5382") {
    flashSent_ = true;
    blocksAtFlash_.clear();
    for (const auto& [address, index] : lastAttemptAt_) blocksAtFlash_[address] = attempts_[index];
  }
  if (letter != 'D' && letter != 'C') blockAwaitsQuery_ = false;
  if (observer_) observer_(command);
}

// ---- Scenario ----

namespace {

constexpr uint64_t kNsPerSecond = 1000000000;
const char kPrompt[] = "\nPress a key to exit program";
const char kFlashTail[] = "JFLASHING DONE IN ABOUT 30 SECS\nF5382";
constexpr uint32_t kImageBlock = 0x400;
constexpr uint32_t kReadBlock = 64;
constexpr uint32_t kWriteBlock = 256;
constexpr uint32_t kReadoutBytes = kConfigRecordCount * kRecordV2Size;  // 15072
constexpr uint32_t kSecondRangeStart = 0x8000;
constexpr uint32_t kFirstRangeEnd = 0x4000;
constexpr ReleaseCode kHwImageBeforeBase = 0x111103;
constexpr ReleaseCode kHwImageBeforePro = 0x110503;
constexpr uint32_t kSlowestSpeed = 2400;
// After the watchdog has pulled the port, a run still gets this long to wind down before the
// soak gives up on it for good.
constexpr uint64_t kWindDownNs = 3600 * kNsPerSecond;

// splitmix64: small, fast, and the same on every platform (unlike the standard distributions).
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  uint32_t Below(uint32_t bound) { return bound == 0 ? 0 : static_cast<uint32_t>(Next() % bound); }
  double Unit() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }
  bool Chance(double p) { return Unit() < p; }
  // Log-uniform between low and high.
  double LogUniform(double low, double high) {
    double a = std::log10(low);
    double b = std::log10(high);
    return std::pow(10.0, a + (b - a) * Unit());
  }

 private:
  uint64_t state_;
};

uint64_t Fnv(const uint8_t* data, size_t length) {
  uint64_t hash = 0xCBF29CE484222325ull;
  for (size_t i = 0; i < length; ++i) hash = (hash ^ data[i]) * 0x100000001B3ull;
  return hash;
}

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

uint64_t ByteNs(uint64_t bytes) { return bytes * 10 * kNsPerSecond / kSlowestSpeed; }

// How the unit's configuration region is laid out.
enum class Layout { kV1, kV2, kV3, kErased, kZero };

const char* LayoutName(Layout layout) {
  switch (layout) {
    case Layout::kV1:
      return "v1 records";
    case Layout::kV2:
      return "v2 records";
    case Layout::kV3:
      return "v3 records";
    case Layout::kErased:
      return "erased config";
    case Layout::kZero:
      return "zero config";
  }
  return "?";
}

uint32_t LayoutRecordSize(Layout layout) {
  switch (layout) {
    case Layout::kV1:
      return kRecordV1Size;
    case Layout::kV2:
      return kRecordV2Size;
    case Layout::kV3:
      return kRecordV3Size;
    default:
      return 0;
  }
}

// The layout a unit of that model keeps on that release.
Layout LayoutOfRelease(ProductKind unitKind, ReleaseCode code) {
  if (IsOlder(code, kRecordV2Release)) return Layout::kV1;
  if (IsOlder(code, kRecordV3Release) || unitKind == kBaseModel) return Layout::kV2;
  return Layout::kV3;
}

// The conversion a run needs for an unidentified unit whose first record is this.
ConfigConversionKind KindForFirstRecord(const uint8_t* record, const FirmwarePayload& payload) {
  ConfigConversionKind kind = kNoConversion;
  if (RecordPassesChecksum(record, kRecordV1Size)) kind = kFromV1;
  if (RecordPassesChecksum(record, kRecordV2Size) && payload.productKind != kBaseModel) {
    kind = kFromV2;
  }
  return kind;
}

bool NeedsSecondImage(ReleaseCode unit, const FirmwarePayload& payload) {
  return IsOlder(unit, payload.productKind == kBaseModel ? kHwImageBeforeBase : kHwImageBeforePro);
}

// One block the run writes: where, how long, and the bytes it must carry.
struct PlannedBlock {
  uint32_t address;
  uint32_t length;
  const uint8_t* data;
  bool config = false;  // a block of the write-back: the image download overwrites it from 0x8000
};

void PlanRange(std::vector<PlannedBlock>& plan, uint32_t start, uint32_t end,
               const uint8_t* source) {
  for (uint32_t address = start; address < end; address += kImageBlock) {
    plan.push_back({address, std::min(kImageBlock, end - address), source + (address - start)});
  }
}

// The blocks of the write-back of a converted buffer, each block at the place it lands last
// (record 5 may go to record 4's place and replace it).
void PlanWriteBack(std::vector<PlannedBlock>& plan, const ConfigReadout& converted,
                   const FirmwarePayload& payload) {
  const uint32_t size = TargetRecordSize(payload.productKind, payload.releaseCode);
  std::map<uint32_t, PlannedBlock> byAddress;
  for (uint32_t i = 0; i < kConfigRecordCount; ++i) {
    uint32_t address = kConfigRegionBase + i * size;
    if (i == 5 && size == kRecordV3Size && converted[i * size] == 0x3A) {
      address = kConfigRegionBase + 4 * size;
    }
    for (uint32_t b = 0; b * kWriteBlock < size; ++b) {
      const uint32_t length = std::min(kWriteBlock, size - b * kWriteBlock);
      byAddress[address + b * kWriteBlock] = {address + b * kWriteBlock, length,
                                              converted.data() + i * size + b * kWriteBlock, true};
    }
  }
  for (const auto& entry : byAddress) plan.push_back(entry.second);
}

// The configuration area as a run that converts `readout` leaves it (before the image download
// overwrites what lies from 0x8000 on).
std::vector<uint8_t> AreaAfterWriteBack(const std::vector<uint8_t>& before,
                                        const ConfigReadout& converted,
                                        const FirmwarePayload& payload) {
  std::vector<uint8_t> area = before;
  std::vector<PlannedBlock> plan;
  PlanWriteBack(plan, converted, payload);
  for (const PlannedBlock& block : plan) {
    for (uint32_t i = 0; i < block.length; ++i) {
      uint32_t at = block.address + i - kConfigRegionBase;
      if (at < area.size()) area[at] = block.data[i];
    }
  }
  return area;
}

std::vector<uint32_t> FindableRows(const ReleaseTable& table,
                                   const std::function<bool(uint32_t row)>& wanted) {
  std::vector<uint32_t> rows;
  for (uint32_t row = 0; row < table.rows; ++row) {
    if (FindReleaseRow(table, table.checksum[row]) == row && wanted(row)) rows.push_back(row);
  }
  return rows;
}

// Where the unit took data blocks ("D") or served reads ("M"), from its transcript: the address
// and length it held for each.
std::multiset<std::pair<uint32_t, uint32_t>> UnitPlacements(const SimulatedUnit& unit, char which) {
  std::multiset<std::pair<uint32_t, uint32_t>> placements;
  uint32_t address = 0;
  uint32_t length = 0;
  for (const TranscriptEntry& entry : unit.transcript()) {
    const std::string& c = entry.command;
    if (c.size() == 7 && c[0] == 'A')
      address = ArgumentValue(c, true) & (SimulatedUnit::kMemorySize - 1);
    if (c.size() == 7 && c[0] == 'L') length = ArgumentValue(c, true);
    if (which == 'D' && c.compare(0, 2, "D[") == 0) placements.insert({address, length});
    if (which == 'M' && c == "M") placements.insert({address, length});
  }
  return placements;
}

struct Rig {
  VirtualClock clock;
  SimulatedUnit unit;
  VirtualSerialDevices devices{unit, clock};
  UpdaterTap tap{devices};
  ScriptedConsole console;
  FirmwarePayload payload = CompiledPayload();
};

// Everything drawn for one seed that the judge needs again.
struct Drawn {
  Layout layout = Layout::kZero;
  uint32_t trueChecksum = 0;
  std::vector<uint8_t> initialArea;  // unit 0x4000..0x7FFF before the run
  bool portVanishes = false;
};

Drawn DrawScenario(uint64_t seed, const SoakOptions& options, Rig& rig, SoakScenario& scenario,
                   SoakOutcome& outcome) {
  Random random(seed * 0x2545F4914F6CDD1Dull + 0x3C6EF372FE94F82Bull);
  Drawn drawn;
  FirmwarePayload& payload = rig.payload;
  SimulatedUnit& unit = rig.unit;
  const ReleaseTable& table = payload.releaseTable;
  std::string text;

  // The payload: the compiled-in Pro release, or the same release built for the base model.
  scenario.proPayload = !random.Chance(0.25);
  payload.productKind = scenario.proPayload ? kProModel : kBaseModel;
  text += scenario.proPayload ? "pro payload" : "base payload";

  // The unit's old firmware: bytes unlike the payload's over every range the run writes.
  std::vector<uint8_t>& memory = unit.memory();
  for (uint32_t a = 0; a < kFirstRangeEnd; ++a) memory[a] = static_cast<uint8_t>(random.Next());
  for (uint32_t a = kSecondRangeStart; a < kSwImageEnd; ++a)
    memory[a] = static_cast<uint8_t>(random.Next());
  for (uint32_t a = kHwImageBase; a < kHwImageEnd; ++a)
    memory[a] = static_cast<uint8_t>(random.Next());

  // The unit: an older release of the payload's model (mostly), one that is up to date, one of
  // the other model, or one that no row identifies.
  const ProductKind model = payload.productKind;
  const double pick = random.Unit();
  char answer = 'y';
  if (pick < 0.58) {
    // Older: choose the configuration work first so that each kind comes up often.
    const int work = static_cast<int>(random.Below(3));
    std::vector<uint32_t> rows = FindableRows(table, [&](uint32_t row) {
      ReleaseCode code = table.code[row];
      if (table.kind[row] != model || !IsOlder(code, payload.releaseCode)) return false;
      Layout layout = LayoutOfRelease(model, code);
      return work == 0   ? layout == Layout::kV1
             : work == 1 ? layout == Layout::kV2
                         : layout == Layout::kV3;
    });
    if (rows.empty()) {
      rows = FindableRows(table, [&](uint32_t row) {
        return table.kind[row] == model && IsOlder(table.code[row], payload.releaseCode);
      });
    }
    const uint32_t row = rows[random.Below(static_cast<uint32_t>(rows.size()))];
    drawn.trueChecksum = table.checksum[row];
    drawn.layout = LayoutOfRelease(model, table.code[row]);
    text += Format(", unit row %u (%s %06x)", row, ProductName(model), table.code[row]);
  } else if (pick < 0.63) {
    std::vector<uint32_t> rows = FindableRows(table, [&](uint32_t row) {
      return table.kind[row] == model && !IsOlder(table.code[row], payload.releaseCode);
    });
    const uint32_t row = rows[random.Below(static_cast<uint32_t>(rows.size()))];
    drawn.trueChecksum = table.checksum[row];
    drawn.layout = LayoutOfRelease(model, table.code[row]);
    answer = random.Chance(0.7) ? 'y' : 'n';
    text += Format(", up-to-date unit row %u (%06x), answers %c", row, table.code[row], answer);
  } else if (pick < 0.67) {
    std::vector<uint32_t> rows =
        FindableRows(table, [&](uint32_t row) { return table.kind[row] != model; });
    const uint32_t row = rows[random.Below(static_cast<uint32_t>(rows.size()))];
    drawn.trueChecksum = table.checksum[row];
    drawn.layout = LayoutOfRelease(table.kind[row], table.code[row]);
    text += Format(", other-model unit row %u (%06x)", row, table.code[row]);
  } else {
    do {
      drawn.trueChecksum = 0x300000 + random.Below(0x300000);
    } while (FindReleaseRow(table, drawn.trueChecksum) != table.rows);
    const Layout layouts[] = {Layout::kV1, Layout::kV2, Layout::kV3, Layout::kErased,
                              Layout::kZero};
    drawn.layout = layouts[random.Below(5)];
    answer = random.Chance(0.9) ? 'y' : 'n';
    text += Format(", unidentified unit (csum %x), answers %c", drawn.trueChecksum, answer);
  }
  text += Format(", %s", LayoutName(drawn.layout));

  // The configuration records, then the code region whose sum identifies the firmware (the
  // newest layout reaches past 0x8000, into the code region).
  const uint32_t recordSize = LayoutRecordSize(drawn.layout);
  if (recordSize != 0) {
    unit.WriteConfigRecords(recordSize, static_cast<uint32_t>(random.Next()), true);
    // A last record that starts with ':' goes to the fourth record's place in the newest layout.
    if (recordSize != kRecordV3Size && random.Chance(0.3)) {
      memory[kConfigRegionBase + 5 * recordSize] = 0x3A;
      text += ", record 5 marked";
    }
  } else {
    unit.FillConfigRegion(drawn.layout == Layout::kErased ? 0xFF : 0x00);
  }
  unit.SetCodeRegionChecksum(drawn.trueChecksum);
  drawn.initialArea.assign(memory.begin() + kConfigRegionBase, memory.begin() + 0x8000);

  // Command line and keys: the answer to a question, then the key at the end.
  const uint32_t speedChoice = random.Below(7);
  if (speedChoice < 5) scenario.args.push_back("-s" + std::to_string(speedChoice));
  if (random.Chance(0.1)) scenario.args.insert(scenario.args.begin(), "-c1");
  scenario.keys = std::string(1, answer) + "q";
  for (const std::string& arg : scenario.args) text += " " + arg;

  // Damage on the line, both directions.
  LineFaults line;
  line.seed = seed ^ 0xA5A5A5A5DEADBEEFull;
  const double high = options.maxLineFaultRate * (random.Chance(0.05) ? 10.0 : 1.0);
  if (high > 0 && !random.Chance(0.1)) {
    if (random.Chance(0.5)) line.dropRate = random.LogUniform(1e-6, high);
    if (random.Chance(0.5)) line.flipRate = random.LogUniform(1e-6, high);
    if (random.Chance(0.5)) line.insertRate = random.LogUniform(1e-6, high);
    if (random.Chance(0.5)) {
      line.delayRate = random.LogUniform(1e-6, high);
      line.maxDelayMs = 1 + random.Below(600);
    }
  }
  rig.devices.SetLineFaults(line);
  text += Format(", line drop %.1e flip %.1e insert %.1e delay %.1e/%ums", line.dropRate,
                 line.flipRate, line.insertRate, line.delayRate, line.maxDelayMs);

  // The unit's own faults: bad, missing, late or short checksum replies and stray bytes before
  // them, at blocks the run will query; now and then a unit that falls silent, speeds it
  // misses, a greeting it never answers.
  std::vector<uint32_t> queried = {kCodeRegionStart};
  for (uint32_t a = 0; a < kReadoutBytes; a += kReadBlock) queried.push_back(kConfigRegionBase + a);
  for (uint32_t a = 0; a < kConfigRecordCount * kRecordV3Size; a += kWriteBlock) {
    queried.push_back(kConfigRegionBase + a);
  }
  for (uint32_t a = 0; a < kFirstRangeEnd; a += kImageBlock) queried.push_back(a);
  for (uint32_t a = kSecondRangeStart; a < kSwImageEnd; a += kImageBlock) queried.push_back(a);
  for (uint32_t a = kHwImageBase; a < kHwImageEnd; a += kImageBlock) queried.push_back(a);
  UnitFaults& faults = unit.faults();
  const uint32_t replyFaults = random.Chance(0.5) ? random.Below(8) : 0;
  for (uint32_t i = 0; i < replyFaults; ++i) {
    ChecksumKey key{queried[random.Below(static_cast<uint32_t>(queried.size()))],
                    static_cast<int>(random.Below(3))};
    ChecksumFault fault;
    fault.kind = static_cast<ChecksumFaultKind>(random.Below(5));
    fault.delayMs = 50 + random.Below(900);
    faults.checksumFaults[key] = fault;
  }
  const uint32_t strays = random.Chance(0.3) ? 1 + random.Below(3) : 0;
  for (uint32_t i = 0; i < strays; ++i) {
    static const std::string kStray[] = {"#", "\r\n", "Ok", "\xFF", "CS=", std::string(1, '\0')};
    ChecksumKey key{queried[random.Below(static_cast<uint32_t>(queried.size()))],
                    static_cast<int>(random.Below(2))};
    faults.strayBeforeChecksum[key] = kStray[random.Below(6)] + kStray[random.Below(6)];
  }
  outcome.unitFaultsPlanned = faults.checksumFaults.size() + faults.strayBeforeChecksum.size();
  if (outcome.unitFaultsPlanned > 0) {
    text += Format(", %zu reply faults, %zu strays", faults.checksumFaults.size(),
                   faults.strayBeforeChecksum.size());
  }
  if (random.Chance(0.05)) {
    faults.silentAfterBlocks = static_cast<int>(random.Below(320));
    text += Format(", silent after %d blocks", faults.silentAfterBlocks);
  }
  if (random.Chance(0.04)) {
    faults.silentAfterChecksums = static_cast<int>(random.Below(700));
    text += Format(", silent after %d checksums", faults.silentAfterChecksums);
  }
  if (random.Chance(0.1)) {
    const uint32_t speeds[] = {28800, 14400, 9600, 4800, 2400};
    for (uint32_t speed : speeds) {
      if (random.Chance(0.35)) faults.silentSpeeds.insert(speed);
    }
    faults.silentSpeedsAfterSpeedCommands = static_cast<int>(random.Below(4));
    text += ", misses speeds";
    for (uint32_t speed : faults.silentSpeeds) text += " " + std::to_string(speed);
    text += Format(" after %d switches", faults.silentSpeedsAfterSpeedCommands);
  }
  if (random.Chance(0.05)) {
    faults.greetingNeverAnswers = true;
    text += ", never greets";
  }
  if (random.Chance(0.01)) {
    faults.absent = true;
    text += ", absent";
  }
  if (random.Chance(0.2)) rig.devices.SetGarbleOnSpeedMismatch(true);
  if (random.Chance(0.03)) {
    drawn.portVanishes = true;
    const uint64_t after = 1 + random.Below(400000);
    rig.devices.LoseAfterBytesWritten(after);
    text += Format(", port vanishes after %" PRIu64 " bytes", after);
  }
  scenario.description = text;
  return drawn;
}

// Why a run that did not flash ended, from the last thing it printed before the prompt.
std::string EndReason(const std::string& console) {
  struct Known {
    const char* text;
    const char* reason;
  };
  static const Known kKnown[] = {
      {"not in update mode", "no answer at 9600"},
      {"Connection cannot be made", "no working line speed"},
      {"Connection failed at check config", "no answer at 14400"},
      {"Connection failed after check config", "no answer back at the negotiated speed"},
      {"The serial port stopped working", "serial port vanished"},
      {"for the configuration read block", "configuration read block never verified"},
      {"for the configuration write block", "configuration write block never verified"},
      {"for the main image block", "main image block never verified"},
      {"for the second image block", "second image block never verified"},
      {"Unit ID's as", "other model refused"},
      {"Firmware not updated", "user declined"},
  };
  for (const Known& known : kKnown) {
    if (console.find(known.text) != std::string::npos) return known.reason;
  }
  size_t end = console.rfind(kPrompt);
  std::string head = console.substr(0, end);
  size_t start = head.rfind('\n', head.size() > 1 ? head.size() - 2 : 0);
  return "other: " + head.substr(start == std::string::npos ? 0 : start + 1);
}

// Judges one written block against the unit's memory: counted as one of the protocol's limits
// when the wire shows how it got past the checksum, otherwise a violation.
struct BlockJudge {
  const SimulatedUnit& unit;
  bool placementsDiffer;  // the unit took data at places or counts the updater did not send
  bool lineDamaged;       // the line damaged bytes during the run
  SoakOutcome& outcome;

  void Check(uint32_t address, uint32_t length, const uint8_t* expected, const char* what,
             uint32_t compareEnd = 0xFFFFFFFF) {
    const uint32_t end = std::min(address + length, compareEnd);
    if (end <= address) return;
    const uint8_t* held = unit.memory().data() + address;
    const uint32_t span = end - address;
    if (std::memcmp(held, expected, span) == 0) return;
    const uint32_t heldSum = BlockChecksum(held, span);
    const uint32_t wantedSum = BlockChecksum(expected, span);
    // On a line without damage every byte must be the one sent.
    const char* limit = nullptr;
    if (lineDamaged) {
      if (heldSum == wantedSum) {
        ++outcome.byteSumDefeated;
        limit = "damaged, same byte sum";
      } else if (placementsDiffer) {
        ++outcome.landedElsewhere;
        limit = "data put elsewhere";
      } else {
        // The updater read a reply equal to the sum it sent (checked on its side), while the
        // unit holds bytes of another sum: the reply it read was not the answer to these bytes.
        ++outcome.foreignReply;
        limit = "reply not the answer to that data";
      }
    }
    if (limit != nullptr) {
      uint32_t firstDiff = 0;
      while (firstDiff < span && held[firstDiff] == expected[firstDiff]) ++firstDiff;
      outcome.limitNotes.push_back(
          Format("%s block at %06X: %s (held sum %x, sent sum %x, "
                 "first difference at +%u)",
                 what, address, limit, heldSum, wantedSum, firstDiff));
    } else {
      outcome.violations.push_back(Format(
          "unit flashed with the %s block at %06X holding other bytes than were sent (sum %x, "
          "expected %x) on a line without damage",
          what, address, heldSum, wantedSum));
    }
  }
};

void Judge(const SoakOptions& options, Rig& rig, const Drawn& drawn, const UpdateState& state,
           const ConfigReadout* readoutAtK, const ConfigReadout* formatRead, SoakOutcome& outcome) {
  const FirmwarePayload& payload = rig.payload;
  const ReleaseTable& table = payload.releaseTable;
  const SimulatedUnit& unit = rig.unit;
  const std::string& console = rig.console.output();
  const std::string& written = rig.tap.written();
  auto violation = [&](const std::string& text) { outcome.violations.push_back(text); };

  // Every run ends, within its bound, on the key prompt, with a status of the program.
  if (outcome.watchdogFired) {
    violation(Format("the run had not ended after %" PRIu64 " s of virtual time",
                     outcome.boundNs / kNsPerSecond));
  }
  if (outcome.status != 0 && outcome.status != 1) {
    violation(Format("exit status %d is none of the program's", outcome.status));
  }
  const size_t promptLength = sizeof kPrompt - 1;
  if (console.size() < promptLength ||
      console.compare(console.size() - promptLength, promptLength, kPrompt) != 0) {
    violation("the console does not end with the key prompt");
  }
  if (rig.console.keysRead() < 1) violation("the run ended without waiting for a key");
  if (rig.devices.lineOpen()) violation("the port was left open");

  // How it ended.
  const bool flashSent = rig.tap.flashSent();
  if (flashSent) {
    outcome.end = SoakEnd::kFlashed;
    if (outcome.status != 1) violation(Format("flashed, but exit status %d", outcome.status));
    if (written.size() < sizeof kFlashTail - 1 ||
        written.compare(written.size() - (sizeof kFlashTail - 1), std::string::npos, kFlashTail) !=
            0) {
      violation("the flash command was not the last thing sent");
    }
    if (console.find("\nNow flashing\n") == std::string::npos) {
      violation("flashed without saying so");
    }
    outcome.flashLostOnLine = !unit.flashed();
  } else {
    outcome.end = outcome.status == 1 ? SoakEnd::kRefused : SoakEnd::kFailed;
    outcome.endReason = EndReason(console);
    if (outcome.end == SoakEnd::kRefused &&
        console.find("Firmware not updated...Exiting\n") == std::string::npos) {
      violation("exit status 1 without an update, a refusal or a decline");
    }
    if (console.find("\nNow flashing\n") != std::string::npos) {
      violation("said it was flashing but never sent the flash command");
    }
    if (state.unitAnswered) {
      // A run that gives up on a unit that answered leaves it with X, unless the port itself
      // has gone and nothing can be sent any more.
      if (!rig.devices.unplugged() && (written.empty() || written.back() != 'X')) {
        violation("gave up after the unit answered without sending X last");
      }
    } else if (written != "E" && !(drawn.portVanishes && written.empty())) {
      violation("sent more than the first probe to a unit that never answered");
    }
  }
  if (unit.flashed() && !flashSent) violation("the unit flashed without the flash command");
  if (!flashSent) return;

  // ---- The flash: what the updater sent and had verified, block by block ----

  // What the run decided, and whether its reading of the unit can be trusted.
  const uint32_t trueRow = FindReleaseRow(table, drawn.trueChecksum);
  const bool unidentified = state.unitUnidentified;
  outcome.misidentified = !unidentified && state.unitChecksum != drawn.trueChecksum;
  if (!unidentified && !outcome.misidentified && state.releaseRow != trueRow) {
    violation(Format("identified as row %u, but the unit's checksum is that of row %u",
                     state.releaseRow, trueRow));
  }
  const uint32_t row = unidentified ? 0 : state.releaseRow;
  const bool hwNeeded = NeedsSecondImage(table.code[row], payload);

  ConfigConversionKind expectedKind = kNoConversion;
  bool kindTrusted = !outcome.misidentified;
  if (!unidentified) {
    expectedKind = ConversionKindForRelease(table.code[row], payload);
  } else {
    expectedKind = KindForFirstRecord(drawn.initialArea.data(), payload);
    if (expectedKind != state.configConversionKind) {
      // Only a format-check read that the byte sum let through can change the decision.
      bool explained = false;
      if (formatRead != nullptr) {
        for (uint32_t a = 0; a < kRecordV2Size; a += kReadBlock) {
          const uint32_t n = std::min(kReadBlock, kRecordV2Size - a);
          if (std::memcmp(formatRead->data() + a, drawn.initialArea.data() + a, n) != 0) {
            explained = true;
            const bool sameSum = BlockChecksum(formatRead->data() + a, n) ==
                                 BlockChecksum(drawn.initialArea.data() + a, n);
            if (sameSum) {
              ++outcome.byteSumDefeated;
            } else {
              ++outcome.foreignReply;
            }
            outcome.limitNotes.push_back(
                Format("format check read at %06X: %s", kConfigRegionBase + a,
                       sameSum ? "damaged, same byte sum" : "reply not the answer to that data"));
          }
        }
      }
      if (!explained) {
        violation(Format("conversion kind %d, but the unit's first record calls for %d",
                         state.configConversionKind, expectedKind));
      }
      kindTrusted = false;
    }
  }
  if (kindTrusted && state.configConversionKind != expectedKind) {
    violation(Format("conversion kind %d, but the unit's release calls for %d",
                     state.configConversionKind, expectedKind));
  }
  const ConfigConversionKind kind = state.configConversionKind;

  // The blocks the run had to write and the bytes each must carry.
  std::vector<PlannedBlock> plan;
  ConfigReadout intended{};
  if (kind != kNoConversion) {
    if (readoutAtK == nullptr) {
      violation("converted the configuration without reading it");
    } else {
      intended = *readoutAtK;
      ConvertConfig(intended, kind, payload.productKind, payload.releaseCode);
      PlanWriteBack(plan, intended, payload);
    }
  }
  PlanRange(plan, 0, kFirstRangeEnd, payload.SwImage);
  PlanRange(plan, kSecondRangeStart, kSwImageEnd, payload.SwImage + kSecondRangeStart);
  if (hwNeeded) PlanRange(plan, kHwImageBase, kHwImageEnd, payload.HwImage);

  // On the updater's side: every planned block went out with the planned bytes, and its last
  // attempt before the flash had a parsed reply equal to its sum; nothing else was sent.
  const std::map<uint32_t, UpdaterTap::BlockAttempt>& sent = rig.tap.blocksAtFlash();
  std::set<uint32_t> plannedAddresses;
  for (const PlannedBlock& block : plan) {
    plannedAddresses.insert(block.address);
    auto found = sent.find(block.address);
    if (found == sent.end()) {
      violation(Format("flashed without ever sending the block at %06X", block.address));
      continue;
    }
    const UpdaterTap::BlockAttempt& attempt = found->second;
    if (attempt.length != block.length || attempt.hash != Fnv(block.data, block.length)) {
      violation(
          Format("the block at %06X went out as %u bytes of sum %x, not the %u bytes of "
                 "sum %x it must carry",
                 block.address, attempt.length, attempt.sum, block.length,
                 BlockChecksum(block.data, block.length)));
    }
    if (!attempt.Verified()) {
      violation(Format("flashed after the block at %06X (sum %x) got the reply \"%s\"",
                       block.address, attempt.sum, attempt.reply.c_str()));
    }
  }
  for (const auto& entry : sent) {
    if (plannedAddresses.count(entry.first) == 0) {
      violation(Format("sent a block at %06X that no range of this run holds", entry.first));
    }
  }

  // ---- The unit's side: what it will flash ----
  if (!unit.flashed()) return;
  if (options.tamperAfterRun) rig.unit.memory()[0x123] ^= 0x10;

  std::multiset<std::pair<uint32_t, uint32_t>> intendedWrites;
  for (const UpdaterTap::BlockAttempt& attempt : rig.tap.attempts()) {
    intendedWrites.insert({attempt.address, attempt.length});
  }
  BlockJudge judge{unit, UnitPlacements(unit, 'D') != intendedWrites,
                   rig.devices.lineFaultsInjected() > 0, outcome};
  for (const PlannedBlock& block : plan) {
    judge.Check(block.address, block.length, block.data, block.config ? "configuration" : "image",
                block.config ? kSecondRangeStart : 0xFFFFFFFF);
  }

  // The configuration area beyond the blocks written holds what it held: only a command
  // damaged on the line can have put data there.
  {
    std::vector<uint8_t> expectedArea = drawn.initialArea;
    if (kind != kNoConversion && readoutAtK != nullptr) {
      expectedArea = AreaAfterWriteBack(drawn.initialArea, intended, payload);
    }
    std::vector<bool> planned(expectedArea.size(), false);
    for (const PlannedBlock& block : plan) {
      for (uint32_t i = 0; i < block.length; ++i) {
        const uint32_t at = block.address + i;
        if (at >= kConfigRegionBase && at < kSecondRangeStart)
          planned[at - kConfigRegionBase] = true;
      }
    }
    const uint8_t* held = unit.memory().data() + kConfigRegionBase;
    for (size_t at = 0; at < expectedArea.size(); ++at) {
      if (planned[at] || held[at] == expectedArea[at]) continue;
      if (judge.placementsDiffer && judge.lineDamaged) {
        ++outcome.landedElsewhere;
        outcome.limitNotes.push_back(
            Format("configuration area at %06zX: data put elsewhere", kConfigRegionBase + at));
      } else {
        violation(Format("the configuration area at %06zX changed where the run wrote nothing",
                         kConfigRegionBase + at));
      }
      break;
    }
  }

  // Blocks of the readout that differ from what the unit held were let through by the
  // checksum: count them by how. The unit's "M" placements against the updater's tell whether
  // a damaged command made the unit serve another block.
  if (kind != kNoConversion && readoutAtK != nullptr) {
    const std::multiset<std::pair<uint32_t, uint32_t>> intendedReads(rig.tap.reads().begin(),
                                                                     rig.tap.reads().end());
    const bool readsElsewhere = UnitPlacements(unit, 'M') != intendedReads;
    for (uint32_t a = 0; a < kReadoutBytes; a += kReadBlock) {
      const uint32_t n = std::min(kReadBlock, kReadoutBytes - a);
      const uint8_t* got = readoutAtK->data() + a;
      const uint8_t* held = drawn.initialArea.data() + a;
      if (std::memcmp(got, held, n) == 0) continue;
      const char* limit = nullptr;
      if (judge.lineDamaged) {
        if (BlockChecksum(got, n) == BlockChecksum(held, n)) {
          ++outcome.byteSumDefeated;
          limit = "damaged, same byte sum";
        } else if (readsElsewhere) {
          ++outcome.landedElsewhere;
          limit = "read from elsewhere";
        } else {
          ++outcome.foreignReply;
          limit = "reply not the answer to that data";
        }
      }
      if (limit != nullptr) {
        outcome.limitNotes.push_back(
            Format("configuration read at %06X: %s (read sum %x, unit's "
                   "sum %x)",
                   kConfigRegionBase + a, limit, BlockChecksum(got, n), BlockChecksum(held, n)));
      } else {
        violation(
            Format("the configuration block read at %06X differs from the unit's on a "
                   "line without damage",
                   kConfigRegionBase + a));
      }
    }
  }
}

}  // namespace

// ---- Bound ----

uint64_t SoakTimeBoundNs() {
  const uint64_t wait = static_cast<uint64_t>(kReplyTries) * kReplyTickMs * kNsPerMs;
  const uint64_t drain = kDrainSettleMs * kNsPerMs;
  const uint64_t attempts = static_cast<uint64_t>(kMaxBlockAttempts);
  // First contact, the burst, the single probe and every step of the ladder, each a probe with
  // its reply wait.
  const uint64_t connect = 30 * (wait + ByteNs(20)) + drain + 8 * ByteNs(7);
  // Eleven greetings of two 2000 ms sleeps and two reply waits, with a drain between.
  const uint64_t greet = 11 * (2 * 2000 * kNsPerMs + 2 * wait + drain + ByteNs(2));
  const uint64_t identify = 1000 * kNsPerMs + wait + ByteNs(15) + ByteNs(7) + wait;
  // A block read waits at most one reply wait per byte (two characters each), then drains and
  // queries; a repeat drains and sets the length first.
  const uint64_t readAttempt = drain + ByteNs(7) + ByteNs(8) + kReadBlock * (wait + ByteNs(2)) +
                               drain + ByteNs(1) + wait + ByteNs(11);
  const uint64_t reads =
      (kRecordV2Size / kReadBlock + 1 + kReadoutBytes / kReadBlock + 1) * attempts * readAttempt;
  const uint64_t writeAttempt = drain + 2 * ByteNs(7) + ByteNs(1 + kWriteBlock + 1) + wait;
  const uint64_t writes =
      kConfigRecordCount * (kRecordV3Size / kWriteBlock + 1) * attempts * writeAttempt;
  const uint64_t finish = 4 * (wait + ByteNs(8)) + ByteNs(8);
  const uint64_t imageAttempt = drain + 2 * ByteNs(7) + ByteNs(1 + kImageBlock + 1) + wait;
  const uint64_t imageBlocks = kFirstRangeEnd / kImageBlock +
                               (kSwImageEnd - kSecondRangeStart) / kImageBlock + 1 +
                               kHwImageSize / kImageBlock + 1;
  const uint64_t download = ByteNs(40) + wait + imageBlocks * attempts * imageAttempt;
  const uint64_t flash = ByteNs(40);
  return 2 * (connect + greet + identify + reads + writes + finish + download + flash);
}

const char* SoakEndName(SoakEnd end) {
  switch (end) {
    case SoakEnd::kFlashed:
      return "flashed";
    case SoakEnd::kFailed:
      return "failed";
    case SoakEnd::kRefused:
      return "refused";
  }
  return "?";
}

SoakOutcome RunSoakSeed(uint64_t seed, const SoakOptions& options) {
  SoakOutcome outcome;
  outcome.seed = seed;
  outcome.boundNs = SoakTimeBoundNs();
  auto rig = std::make_unique<Rig>();
  const Drawn drawn = DrawScenario(seed, options, *rig, outcome.scenario, outcome);

  rig->console = ScriptedConsole(outcome.scenario.keys);
  UpdateState state(rig->tap, rig->clock, rig->console, rig->payload);

  // What the updater read of the configuration, caught from its buffer at the moments its
  // wire traffic marks: the readout is complete when the first "K" goes out (the conversion
  // comes after it), and the format check is complete when the readout's first block is
  // addressed after the format check's last one.
  std::unique_ptr<ConfigReadout> readoutAtK;
  std::unique_ptr<ConfigReadout> formatRead;
  bool formatCheckEnded = false;
  rig->tap.SetCommandObserver([&](const std::string& command) {
    if (command == "K" && !readoutAtK) {
      readoutAtK = std::make_unique<ConfigReadout>(state.configReadout);
      if (!formatRead) formatRead = std::make_unique<ConfigReadout>(state.configReadout);
    }
    if (command == "A0049C0") formatCheckEnded = true;
    if (command == "A004000" && formatCheckEnded && !formatRead) {
      formatRead = std::make_unique<ConfigReadout>(state.configReadout);
    }
  });

  // The watchdog: past the bound the port goes away, which every phase notices at once; should
  // the run still not end, the soak stops the program with the seed to replay.
  const uint64_t start = rig->clock.NowNs();
  const int watchdogOwner = 0;
  rig->clock.AddObserver(&watchdogOwner, [&](uint64_t now) {
    if (now - start > outcome.boundNs && !outcome.watchdogFired) {
      outcome.watchdogFired = true;
      rig->devices.LoseAfterBytesWritten(0);
    }
    if (now - start > outcome.boundNs + kWindDownNs) {
      std::fprintf(stderr,
                   "quorel-soak: seed %" PRIu64 " still running after %" PRIu64
                   " s of virtual time; replay with: quorel-soak --seed %" PRIu64 " --verbose\n",
                   seed, (now - start) / kNsPerSecond, seed);
      std::abort();
    }
  });

  std::vector<const char*> argv = {"quorel-update"};
  for (const std::string& arg : outcome.scenario.args) argv.push_back(arg.c_str());
  outcome.status = RunUpdate(state, static_cast<int>(argv.size()), argv.data());
  outcome.virtualNs = rig->clock.NowNs() - start;
  rig->clock.RemoveObserver(&watchdogOwner);
  // Let everything still on the wire reach the unit, so its memory and transcript are final.
  rig->devices.FinishInFlight();

  outcome.lineFaults = rig->devices.faultCounts();
  for (const UpdaterTap::BlockAttempt& attempt : rig->tap.attempts()) {
    (void)attempt;
    ++outcome.dataBlocksSent;
  }
  std::set<uint32_t> distinct;
  for (const UpdaterTap::BlockAttempt& attempt : rig->tap.attempts())
    distinct.insert(attempt.address);
  outcome.blockRepeats = outcome.dataBlocksSent - distinct.size();

  Judge(options, *rig, drawn, state, readoutAtK.get(), formatRead.get(), outcome);
  if (options.keepTexts) {
    outcome.console = rig->console.output();
    outcome.transcript = rig->unit.TranscriptText();
  }
  return outcome;
}

}  // namespace quorel::sim
