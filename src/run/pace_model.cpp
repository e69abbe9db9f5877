#include "run/pace_model.h"

#include "protocol/commands.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace quorel {

namespace {

constexpr uint64_t kNsPerSecond = 1000000000;
// The stretch the check before the flash and the read confirmation ask sums for.
constexpr uint32_t kSumStretch = 0x400;

// A command with a number, as it goes on the wire.
std::string Numbered(const char* format, uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

std::string Address(uint32_t address) { return Numbered(kCmdAddressFormat, address); }
std::string Length(uint32_t length) { return Numbered(kCmdLengthFormat, length); }

// A one-byte command, by the name the unit takes it as.
std::string Byte(uint8_t command) { return std::string(1, static_cast<char>(command)); }

// The speed command, sent at the old speed.
void SwitchSpeed(PaceFloor& floor, uint32_t speed) {
  floor.Send(Numbered(kCmdSpeedFormat, speed), 7);
  floor.Reopen(speed);
}

void SingleProbe(PaceFloor& floor, const UpdatePlan& plan) {
  floor.Send(Byte(kCmdProbe), 1, plan.probeReply);
  floor.Read(20);
}

// Checksummed block reads with "M" over [start, start + length), as the configuration readout
// makes them: the length once, a shorter length before a short last block.
void ReadRange(PaceFloor& floor, const UpdatePlan& plan, uint32_t start, uint32_t length) {
  floor.Send(Length(plan.readBlock), 7);
  for (uint32_t offset = 0; offset < length; offset += plan.readBlock) {
    const uint32_t block = std::min(plan.readBlock, length - offset);
    if (block != plan.readBlock) floor.Send(Length(block), 7);
    floor.Send(Address(start + offset), 7);
    floor.Send(kCmdBlockRead, 1, 2 * block);
    for (uint32_t i = 0; i < block; ++i) floor.Read(2);
    floor.Drain();
    floor.Send(Byte(kCmdChecksum), 1, plan.checksumReply);
    floor.Read(11);
  }
}

// A block of the run, as the check before the flash asks for it again.
struct Block {
  uint32_t address;
  uint32_t length;
};

// The sum of length bytes at address: "A%06X", "L%06X" when the unit holds another length, C.
void AskSum(PaceFloor& floor, const UpdatePlan& plan, uint32_t address, uint32_t length,
            uint32_t& held) {
  floor.Send(Address(address), 7);
  if (held != length) floor.Send(Length(length), 7);
  held = length;
  floor.Send(Byte(kCmdChecksum), 1, plan.checksumReply);
  floor.Read(11);
}

// A read of the configuration area (ReadRange), confirmed in stretches of 1024 bytes, none
// differing; then the last block's length once more. held follows the unit's length.
void ReadConfirmed(PaceFloor& floor, const UpdatePlan& plan, uint32_t start, uint32_t length,
                   uint32_t& held) {
  ReadRange(floor, plan, start, length);
  const uint32_t lastRead =
      length % plan.readBlock == 0 ? plan.readBlock : length % plan.readBlock;
  held = lastRead;
  for (uint32_t offset = 0; offset < length; offset += kSumStretch) {
    AskSum(floor, plan, start + offset, std::min(kSumStretch, length - offset), held);
  }
  if (held != lastRead) floor.Send(Length(lastRead), 7);
  held = lastRead;
}

// One checksummed block write: "A%06X", "D" and the bytes, C and its reply.
void WriteBlock(PaceFloor& floor, const UpdatePlan& plan, uint32_t address, uint32_t length) {
  floor.Send(Address(address), 7);
  floor.Send(kCmdBlockWrite + std::string("[") + std::to_string(length) + "]", 1 + length);
  floor.Send(Byte(kCmdChecksum), 1, plan.checksumReply);
  floor.Read(11);
}

// A range written in blocks of the length the unit holds, with a length command before a
// short last block; length follows the unit's. Each block is noted in written.
void WriteRange(PaceFloor& floor, const UpdatePlan& plan, uint32_t start, uint32_t end,
                uint32_t& length, std::vector<Block>& written) {
  for (uint32_t address = start; address < end; address += length) {
    if (end - address < length) {
      length = end - address;
      floor.Send(Length(length), 7);
    }
    WriteBlock(floor, plan, address, length);
    written.push_back(Block{address, length});
    floor.CountBlock();
  }
}

}  // namespace

uint64_t WireTimeNs(uint64_t bytes, uint32_t speed) {
  return speed == 0 ? 0 : bytes * kWireBitsPerByte * kNsPerSecond / speed;
}

int ReplyWaitTicks(uint64_t startNs, uint64_t completeNs) {
  if (completeNs <= startNs) return 0;
  if (completeNs == kNeverNs) return kModelMaxTicks;
  const uint64_t lag = completeNs - startNs;
  const uint64_t ticks = (lag + kModelTickNs - 1) / kModelTickNs;
  return ticks > static_cast<uint64_t>(kModelMaxTicks) ? kModelMaxTicks : static_cast<int>(ticks);
}

uint64_t WireFloorNs(const std::map<uint32_t, uint64_t>& pcBytesAt,
                     const std::map<uint32_t, uint64_t>& unitBytesAt) {
  uint64_t total = 0;
  for (const auto& [speed, bytes] : pcBytesAt) total += WireTimeNs(bytes, speed);
  for (const auto& [speed, bytes] : unitBytesAt) total += WireTimeNs(bytes, speed);
  return total;
}

uint64_t PaceFloor::Transmitter::Next(uint64_t earliestNs, uint32_t speed) {
  if (runBytes == 0 || earliestNs > freeNs) {
    runStartNs = std::max(earliestNs, freeNs);
    runBytes = 0;
  }
  ++runBytes;
  freeNs = runStartNs + WireTimeNs(runBytes, speed);
  return freeNs;
}

PaceFloor::PaceFloor(uint32_t speed, bool prompt) : speed_(speed), prompt_(prompt) {}

void PaceFloor::WaitForOutput() {
  if (pc_.freeNs > nowNs_) {
    parts_.pcWireWaitNs += pc_.freeNs - nowNs_;
    nowNs_ = pc_.freeNs;
  }
}

void PaceFloor::Send(const std::string& name, uint32_t wireBytes, uint32_t replyBytes) {
  commands_.push_back(name);
  uint64_t arrivedNs = nowNs_;
  for (uint32_t i = 0; i < wireBytes; ++i) arrivedNs = pc_.Next(nowNs_, speed_);
  commandTimesNs_.push_back(arrivedNs);
  parts_.pcBytesAt[speed_] += wireBytes;
  for (uint32_t i = 0; i < replyBytes; ++i) incoming_.push_back(unit_.Next(arrivedNs, speed_));
  parts_.unitBytesAt[speed_] += replyBytes;
}

void PaceFloor::Reopen(uint32_t speed) {
  WaitForOutput();
  incoming_.clear();
  // A new line: neither transmitter continues a run across the change of speed.
  pc_.runBytes = 0;
  unit_.runBytes = 0;
  speed_ = speed;
}

void PaceFloor::Close() {
  WaitForOutput();
  incoming_.clear();
  parts_.endNs = nowNs_;
}

void PaceFloor::Sleep(uint32_t ms) {
  const uint64_t ns = static_cast<uint64_t>(ms == 0 ? 1 : ms) * kModelNsPerMs;
  nowNs_ += ns;
  parts_.sleepNs += ns;
}

void PaceFloor::Read(uint32_t wanted) {
  WaitForOutput();
  const uint64_t completeNs = wanted == 0                ? nowNs_
                              : incoming_.size() >= wanted ? incoming_[wanted - 1]
                                                           : kNeverNs;
  const uint64_t fullWaitNs = kModelMaxTicks * kModelTickNs;
  uint64_t waitNs = 0;
  if (prompt_) {
    waitNs = completeNs <= nowNs_ ? 0 : std::min(completeNs - nowNs_, fullWaitNs);
  } else {
    const int ticks = ReplyWaitTicks(nowNs_, completeNs);
    waitNs = static_cast<uint64_t>(ticks) * kModelTickNs;
    parts_.ticks += static_cast<uint64_t>(ticks);
  }
  nowNs_ += waitNs;
  parts_.replyWaitNs += waitNs;
  ++parts_.replyWaits;
  if (completeNs > nowNs_) ++parts_.replyWaitsCut;
  // What has arrived is read, at most the wanted count; the rest stays for the next reader.
  for (uint32_t taken = 0; taken < wanted && !incoming_.empty() && incoming_.front() <= nowNs_;
       ++taken) {
    incoming_.pop_front();
  }
}

void PaceFloor::Drain() {
  WaitForOutput();
  nowNs_ += kModelDrainNs;
  ++parts_.drains;
  while (!incoming_.empty() && incoming_.front() <= nowNs_) incoming_.pop_front();
}

namespace {

// Connection: first contact, the chosen speed, the burst probe (whose first two characters are
// the answer to the first E), the drain and the single probe; the unit answers at once. Then the
// greeting, answered "HOk" the first time, and the identification of a known unit, then "T".
void PlanContact(const UpdatePlan& plan, PaceFloor& floor) {
  SingleProbe(floor, plan);
  SwitchSpeed(floor, plan.wantedSpeed);
  for (int i = 0; i < 20; ++i) floor.Send(Byte(kCmdProbe), 1, plan.probeReply);
  floor.Read(2);
  floor.Drain();
  SingleProbe(floor, plan);

  floor.Send(Byte(kCmdGreet), 1, plan.greetReply);
  floor.Sleep(2000);
  floor.Read(20);
  floor.Send(Byte(kCmdHello), 1, plan.helloReply);
  floor.Sleep(2000);
  floor.Read(20);

  floor.Send(kCmdIdentifyAddress, 7);
  floor.Send(kCmdIdentifyLength, 7);
  floor.Send(Byte(kCmdChecksum), 1, plan.checksumReply);
  floor.Sleep(1000);
  floor.Read(11);
  floor.Send(kCmdConfirmed, 1);
}

uint32_t RecordAddress(const UpdatePlan& plan, uint32_t r) {
  return plan.readoutStart + (r == 5 && plan.recordFiveMoved ? 4 : r) * plan.recordSize;
}

// The stretches of the configuration area the run does not write.
std::vector<Block> ConfigGaps(const UpdatePlan& plan, bool configWork) {
  std::vector<Block> gaps;
  for (uint32_t a = kConfigRegionBase; a < kConfigRegionEnd;) {
    bool inRecord = false;
    uint32_t next = kConfigRegionEnd;  // the end of the gap that starts at a
    for (uint32_t r = 0; configWork && r < plan.records; ++r) {
      const uint32_t from = RecordAddress(plan, r);
      const uint32_t to = from + plan.recordSize;
      if (a >= from && a < to) inRecord = true;
      if (from > a) next = std::min(next, from);
    }
    if (inRecord) {
      ++a;
      continue;
    }
    const uint32_t length = std::min(kSumStretch, next - a);
    gaps.push_back(Block{a, length});
    a += length;
  }
  return gaps;
}

// Configuration readout at no more than the configuration speed, and write-back. held is the
// length the unit holds.
void PlanConfigWork(const UpdatePlan& plan, PaceFloor& floor, const std::vector<Block>& gaps,
                    uint32_t& held, std::vector<Block>& blocks) {
  const bool configWork = plan.readoutLength > 0;
  const bool lowered =
      (configWork || plan.formatCheckLength > 0) && plan.wantedSpeed > plan.configSpeed;
  if (lowered) {
    SwitchSpeed(floor, plan.configSpeed);
    SingleProbe(floor, plan);
  }
  if (plan.formatCheckLength > 0) {
    ReadConfirmed(floor, plan, plan.readoutStart, plan.formatCheckLength, held);
  }
  if (configWork) {
    ReadConfirmed(floor, plan, plan.readoutStart, plan.readoutLength, held);
    floor.Send(kCmdK, 1);
    for (const Block& gap : gaps) AskSum(floor, plan, gap.address, gap.length, held);
    for (uint32_t r = 0; r < plan.records; ++r) {
      const uint32_t address = RecordAddress(plan, r);
      uint32_t length = plan.writeBlock;
      floor.Send(Length(length), 7);
      WriteRange(floor, plan, address, address + plan.recordSize, length, blocks);
    }
  }
  floor.Send(kCmdK, 1);
  SingleProbe(floor, plan);
  floor.Send(kCmdV0, 2);
  floor.Send(Byte(kCmdTick), 1);
  floor.Read(20);
  floor.Send(kCmdV0, 2);
  floor.Read(20);
  if (lowered) {
    SwitchSpeed(floor, plan.wantedSpeed);
    SingleProbe(floor, plan);
  }
}

// Image download; returns the length the unit holds after it.
uint32_t PlanDownload(const UpdatePlan& plan, PaceFloor& floor, std::vector<Block>& blocks) {
  floor.Send(kMsgDownloading, sizeof kMsgDownloading - 1);
  SingleProbe(floor, plan);
  floor.Send(Length(plan.downloadBlock), 7);
  floor.Send(kCmdK, 1);
  uint32_t length = plan.downloadBlock;
  WriteRange(floor, plan, 0, plan.firstRangeEnd, length, blocks);
  WriteRange(floor, plan, plan.secondRangeStart, plan.secondRangeEnd, length, blocks);
  if (plan.secondImage) {
    length = plan.downloadBlock;
    floor.Send(Length(length), 7);
    WriteRange(floor, plan, plan.secondImageStart, plan.secondImageEnd, length, blocks);
  }
  return length;
}

}  // namespace

void PlanFullUpdate(const UpdatePlan& plan, PaceFloor& floor) {
  std::vector<Block> blocks;  // every block written, in order
  PlanContact(plan, floor);
  const bool configWork = plan.readoutLength > 0;
  const std::vector<Block> gaps = ConfigGaps(plan, configWork);
  uint32_t held = kCodeRegionLength;  // the length the unit holds: the identification's at first
  PlanConfigWork(plan, floor, gaps, held, blocks);
  if (!configWork) {
    for (const Block& gap : gaps) AskSum(floor, plan, gap.address, gap.length, held);
  }
  held = PlanDownload(plan, floor, blocks);

  // The check before the flash: every written block's sum, none differing; then the last
  // block once more.
  for (const Block& gap : gaps) AskSum(floor, plan, gap.address, gap.length, held);
  for (const Block& block : blocks) AskSum(floor, plan, block.address, block.length, held);
  WriteBlock(floor, plan, blocks.back().address, blocks.back().length);

  // Flash commit, and the port closes behind it.
  floor.Send(kMsgFlashing, sizeof kMsgFlashing - 1);
  floor.Send(kCmdFlash, 5);
  floor.Close();
}

}  // namespace quorel
