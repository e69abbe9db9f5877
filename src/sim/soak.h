#pragma once
// Fault-injection soak: whole updates through the real driver against the simulated unit on the
// virtual clock, each with a scenario drawn at random from a seed (the unit's release and
// configuration, the speed option, damage on the line in both directions, replies that the unit
// garbles, loses or sends late, a unit that falls silent, speeds it misses, a port that
// vanishes). Every run is then judged from the outside:
//   - it ended, within a bound of virtual time worked out from the attempt bound (a watchdog on
//     the clock pulls the port away should a run ever pass it, so a hang fails instead of
//     hanging);
//   - the flash command went out only when the last attempt of every data block the updater
//     sent had a parsed checksum reply equal to the block's sum, and every block of every range
//     the run had to write was sent;
//   - when the unit flashed, its memory over every range written equals the payload, and its
//     configuration records equal the conversion of what it held; a difference counts as the
//     protocol's limit, not the program's, only where the wire shows how the byte-sum exchange
//     was defeated (see SoakOutcome);
//   - a run that gave up after the unit answered sent X last and closed the port; its exit
//     status is one of the program's.
// The same seed always gives the same run, so a failing seed replays exactly.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "os/serial_device.h"
#include "sim/virtual_line.h"

namespace quorel::sim {

// ---- The updater's side of the line ----

// A SerialDevices that hands everything to another one and follows, from the bytes the updater
// writes and reads, every data block it sends ("A", "D" and the bytes) and the checksum reply it
// reads for it. The updater's own writes are never damaged, so this is exactly what the updater
// meant and what it saw, whatever happened on the wire behind.
class UpdaterTap : public SerialDevices {
 public:
  struct BlockAttempt {
    uint32_t address = 0;
    uint32_t length = 0;
    uint32_t sum = 0;          // byte sum of the data sent
    uint64_t hash = 0;         // FNV-1a of the data sent, to compare the bytes themselves
    bool replyRead = false;    // the updater read something after the block's C
    std::string reply;         // what it read, up to the first NUL
    bool replyParsed = false;  // the reply had the "CS=" form
    uint32_t replyValue = 0;
    bool Verified() const { return replyParsed && replyValue == sum; }
  };

  explicit UpdaterTap(SerialDevices& inner) : inner_(inner) {}
  UpdaterTap(const UpdaterTap&) = delete;
  UpdaterTap& operator=(const UpdaterTap&) = delete;

  OpenResult Open(const char* portName, int32_t lineSpeed, int32_t parity,
                  std::unique_ptr<SerialLine>* line) override;

  // Called with every complete command the updater writes, in the unit's transcript form
  // ("A004000", "D[64]" for a data block, "C"), at the moment its last byte is written.
  void SetCommandObserver(std::function<void(const std::string&)> observer) {
    observer_ = std::move(observer);
  }

  // Every data block attempt, in order; the reply is filled in once it has been read.
  const std::vector<BlockAttempt>& attempts() const { return attempts_; }
  // The address and length the updater had set for every "M" it sent, in order.
  const std::vector<std::pair<uint32_t, uint32_t>>& reads() const { return reads_; }
  // True once "F5382" was written.
  bool flashSent() const { return flashSent_; }
  // The last attempt at every block address as it stood when "F5382" was written.
  const std::map<uint32_t, BlockAttempt>& blocksAtFlash() const { return blocksAtFlash_; }
  // Every byte the updater wrote, in order.
  const std::string& written() const { return written_; }

 private:
  friend class TapLine;
  enum class Mode { kCommand, kArgument, kData, kMessage };

  void Wrote(const uint8_t* data, size_t count);
  void ReadBytes(const uint8_t* data, size_t count);
  void TakeByte(uint8_t byte);
  void Finish(const std::string& command);

  SerialDevices& inner_;
  std::function<void(const std::string&)> observer_;

  Mode mode_ = Mode::kCommand;
  std::string pending_;
  size_t argumentDigits_ = 0;
  uint32_t address_ = 0;
  uint32_t length_ = 0;
  uint32_t dataCount_ = 0;
  uint32_t dataSum_ = 0;
  uint64_t dataHash_ = 0;
  bool blockAwaitsQuery_ = false;  // a data block is complete and its C has not come yet
  bool replyDue_ = false;          // a block's C was written and nothing was read or written since

  std::vector<BlockAttempt> attempts_;
  std::vector<std::pair<uint32_t, uint32_t>> reads_;
  std::map<uint32_t, size_t> lastAttemptAt_;
  bool flashSent_ = false;
  std::map<uint32_t, BlockAttempt> blocksAtFlash_;
  std::string written_;
};

// Parses a checksum reply the way the unit's "CS=%8x" form is read: "CS=" and one to eight
// hexadecimal digits. Written apart from the updater's parser, so that the two check each other.
bool ParseChecksumText(const std::string& text, uint32_t* value);

// ---- Scenarios and outcomes ----

struct SoakOptions {
  // Per-byte rates of each kind of line damage are drawn up to this (log-uniformly from 1e-6);
  // one seed in twenty draws up to ten times as much, to exercise the failure paths.
  double maxLineFaultRate = 3e-4;
  // Keep the console text and the unit's transcript in the outcome (for --verbose).
  bool keepTexts = false;
  // Self-test of the judge: after the run, change one byte of the unit's memory in the first
  // range written, as a fault that no exchange verified would. A flashed run must then fail.
  bool tamperAfterRun = false;
};

enum class SoakEnd { kFlashed, kFailed, kRefused };

struct SoakScenario {
  std::string description;  // one line: the release, configuration, options and faults
  std::vector<std::string> args;
  std::string keys;
  bool proPayload = true;
  bool expectConfigWork = false;
};

struct SoakOutcome {
  uint64_t seed = 0;
  SoakScenario scenario;
  int status = -1;
  SoakEnd end = SoakEnd::kFailed;
  std::string endReason;  // for failures and refusals: the line that says why
  uint64_t virtualNs = 0;
  uint64_t boundNs = 0;
  bool watchdogFired = false;
  LineFaultCounts lineFaults;
  uint64_t unitFaultsPlanned = 0;  // checksum reply faults and stray replies in the scenario
  uint64_t dataBlocksSent = 0;     // by the updater, every attempt
  uint64_t blockRepeats = 0;

  // The protocol's limits, met on this run (counted only for runs whose unit flashed), by block
  // of the unit's memory that differs from what the updater sent and had verified:
  //   byteSumDefeated: the bytes were damaged on the line yet kept their byte sum, so the unit's
  //     reply agreed;
  //   landedElsewhere: a command damaged on the line ("A" or "L" cut short or changed, a noise
  //     byte taken for "D") put data where the updater did not send it, and the reply, which
  //     does not say which address it summed, agreed;
  //   foreignReply: the unit holds bytes of another sum, and the reply that the updater read
  //     was not the unit's answer to them: damaged on its way into the sum expected, or a late
  //     answer to an earlier attempt of the block that arrived after the input was drained.
  // misidentified: a damaged identification reply matched another row of the release table.
  uint32_t byteSumDefeated = 0;
  uint32_t landedElsewhere = 0;
  uint32_t foreignReply = 0;
  bool misidentified = false;
  uint32_t ProtocolLimitBlocks() const { return byteSumDefeated + landedElsewhere + foreignReply; }
  // The flash command went out but did not reach the unit whole (the updater cannot know).
  bool flashLostOnLine = false;

  // One line for each block counted above: where, which limit, the sums.
  std::vector<std::string> limitNotes;

  // Broken invariants, one sentence each. Must be empty.
  std::vector<std::string> violations;

  std::string console;     // with keepTexts
  std::string transcript;  // with keepTexts
};

// Virtual time within which every run must end: the slowest accepted line speed, every reply
// wait running out, every block taking every attempt it is allowed, doubled.
uint64_t SoakTimeBoundNs();

SoakOutcome RunSoakSeed(uint64_t seed, const SoakOptions& options = SoakOptions());

// "flashed", "failed" or "refused".
const char* SoakEndName(SoakEnd end);

}  // namespace quorel::sim
