// The soak's faults for one seed: damage on the line in both directions, and the unit's own
// faults (bad, missing, late or short checksum replies, stray bytes, silence, missed speeds, a
// greeting never answered, no unit at all, a port that vanishes).
#include <cinttypes>
#include <string>
#include <vector>

#include "common/expected_run.h"
#include "protocol/line_speeds.h"
#include "soak/soak_parts.h"

namespace quorel::sim {

namespace {

// Damage on the line, both directions; one seed in twenty draws up to ten times the rate.
void DrawLineFaults(uint64_t seed, const SoakOptions& options, SoakRandom& random, SoakRig& rig,
                    std::string& text) {
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
}

// The blocks whose sum the run will query: the identification's, the configuration reads and
// writes, and every image block.
std::vector<uint32_t> QueriedBlocks() {
  std::vector<uint32_t> queried = {expected::kCodeRegionStart};
  for (uint32_t a = 0; a < expected::kReadoutBytes; a += expected::kReadBlock)
    queried.push_back(expected::kConfigBase + a);
  for (uint32_t a = 0; a < expected::kBufferBytes; a += expected::kWriteBlock) {
    queried.push_back(expected::kConfigBase + a);
  }
  for (uint32_t a = expected::kMainFirst.start; a < expected::kMainFirst.end;
       a += expected::kImageBlock)
    queried.push_back(a);
  for (uint32_t a = expected::kMainSecond.start; a < expected::kMainSecond.end;
       a += expected::kImageBlock)
    queried.push_back(a);
  for (uint32_t a = expected::kSecondImage.start; a < expected::kSecondImage.end;
       a += expected::kImageBlock)
    queried.push_back(a);
  return queried;
}

// Bad, missing, late or short checksum replies, and stray bytes before them.
void DrawReplyFaults(SoakRandom& random, const std::vector<uint32_t>& queried, UnitFaults& faults,
                     SoakOutcome& outcome, std::string& text) {
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
}

// Now and then a unit that falls silent after some blocks or sums, or misses speeds.
void DrawSilences(SoakRandom& random, UnitFaults& faults, std::string& text) {
  if (random.Chance(0.05)) {
    faults.silentAfterBlocks = static_cast<int>(random.Below(320));
    text += Format(", silent after %d blocks", faults.silentAfterBlocks);
  }
  if (random.Chance(0.04)) {
    faults.silentAfterChecksums = static_cast<int>(random.Below(700));
    text += Format(", silent after %d checksums", faults.silentAfterChecksums);
  }
  if (random.Chance(0.1)) {
    for (uint32_t speed : kSpeedLadder) {
      if (random.Chance(0.35)) faults.silentSpeeds.insert(speed);
    }
    faults.silentSpeedsAfterSpeedCommands = static_cast<int>(random.Below(4));
    text += ", misses speeds";
    for (uint32_t speed : faults.silentSpeeds) text += " " + std::to_string(speed);
    text += Format(" after %d switches", faults.silentSpeedsAfterSpeedCommands);
  }
}

// Now and then a greeting never answered, no unit at all, garbage at a wrong speed, a port
// that vanishes.
void DrawAbsences(SoakRandom& random, SoakRig& rig, SoakDraw& drawn, std::string& text) {
  UnitFaults& faults = rig.unit.faults();
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
}

// Now and then an "A" the unit takes as another address, of an image block or of a
// configuration read.
void DrawAddressFaults(SoakRandom& random, const std::vector<uint32_t>& queried,
                       UnitFaults& faults, std::string& text) {
  if (random.Chance(0.05)) {
    // One "A" of an image block taken as another block's address: the block lands there with
    // an agreeing sum. (Not 0x8000, whose first "A" is the identification's.)
    std::vector<uint32_t> images;
    for (uint32_t a : queried) {
      if (a != expected::kCodeRegionStart &&
          (a < expected::kConfigBase || a >= expected::kMainSecond.start)) {
        images.push_back(a);
      }
    }
    const uint32_t address = images[random.Below(static_cast<uint32_t>(images.size()))];
    UnitFaults::AddressFault fault;
    fault.takenAs = queried[random.Below(static_cast<uint32_t>(queried.size()))];
    faults.addressFaults[address] = fault;
    text += Format(", A%06X taken as %06X", address, fault.takenAs);
  }
  if (random.Chance(0.05)) {
    // One "A" of a configuration read taken as another address: the block is read from there,
    // and its sum agrees there. Without a conversion it may hit a sum query of the area instead.
    const uint32_t reads = (expected::kReadoutBytes + expected::kReadBlock - 1) / expected::kReadBlock;
    const uint32_t address = expected::kConfigBase + random.Below(reads) * expected::kReadBlock;
    if (faults.addressFaults.count(address) == 0) {
      UnitFaults::AddressFault fault;
      fault.takenAs = queried[random.Below(static_cast<uint32_t>(queried.size()))];
      faults.addressFaults[address] = fault;
      text += Format(", read A%06X taken as %06X", address, fault.takenAs);
    }
  }
}

}  // namespace

void DrawSoakFaults(uint64_t seed, const SoakOptions& options, SoakRandom& random, SoakRig& rig,
                    SoakDraw& drawn, SoakOutcome& outcome, std::string& text) {
  DrawLineFaults(seed, options, random, rig, text);
  // The unit's own faults: bad, missing, late or short checksum replies and stray bytes before
  // them, at blocks the run will query; now and then a unit that falls silent, speeds it
  // misses, a greeting it never answers.
  const std::vector<uint32_t> queried = QueriedBlocks();
  UnitFaults& faults = rig.unit.faults();
  DrawReplyFaults(random, queried, faults, outcome, text);
  DrawSilences(random, faults, text);
  DrawAbsences(random, rig, drawn, text);
  DrawAddressFaults(random, queried, faults, text);
}

}  // namespace quorel::sim
