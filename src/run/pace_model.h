#pragma once
// The pace of an update as the protocol itself fixes it, worked out on paper rather than by
// running the updater: a timeline of the PC's writes, the unit's answers on the wire, and the
// waits that the protocol prescribes. --identify estimates an update's duration with it, and
// the benchmark compares a run on the virtual clock with the two lower bounds it gives:
//
// Wire floor: every byte of the run, both directions, at 10 bits per byte at the speed it
// actually went at, added up as if nothing else ever happened.
//
// Protocol floor: the time from the start of the run until the unit has taken the flash
// command when the PC does nothing but what the protocol prescribes:
//   - it waits for its own bytes to leave only where the protocol must (before every reply
//     wait and drain, since those start once the command is out, and before every close);
//   - the fixed sleeps: 2000 ms after each G and each H of the greeting, 1000 ms between the
//     identification's C and its reply;
//   - 100 ms at the start of every input drain (after the burst probe, after the pairs of every
//     block read, before every repeated attempt of a block);
//   - each reply wait as the read primitive paces it: it checks at once and then every 40 ms,
//     at most 8 more times. Its wait starts when the command's last byte has left the PC (the
//     PC first drains its output) or later, if the PC is still busy. When the wanted bytes are
//     complete at that start the wait costs nothing; when they are complete lag ns later it
//     costs ceil(lag / 40 ms) ticks of 40 ms; when they are never complete (a reply shorter
//     than the count asked for, as the 2-character "Ok" read with a count of 20, or no reply)
//     or would need more than 8 ticks, it costs the full 8 ticks (320 ms).
// The prompt floor is the same run at the --fast pace: each reply wait costs exactly the time
// until the wanted bytes are complete (no rounding to 40 ms ticks), and the full 320 ms when
// they never are.
// The unit is taken to answer a command as soon as its last byte has arrived, on its own
// transmitter, byte after byte at the line speed; a byte is there for the PC once its last bit
// has arrived. The bytes of the unit's answers thus land inside the PC's waits and do not add
// to the floor a second time: the floor is the PC's own wire time on its critical path plus
// the prescribed sleeps, drains and reply ticks, and its excess over the wire floor is what the
// protocol's waits cost beyond moving the bytes.
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "payload/memory_map.h"
#include "protocol/line_speeds.h"

namespace quorel {

constexpr uint64_t kWireBitsPerByte = 10;
constexpr uint64_t kModelNsPerMs = 1000000;
constexpr uint64_t kModelTickNs = 40 * kModelNsPerMs;
constexpr int kModelMaxTicks = 8;
constexpr uint64_t kModelDrainNs = 100 * kModelNsPerMs;
// A completion time for wanted bytes that never come.
constexpr uint64_t kNeverNs = UINT64_MAX;

// The wire time of count bytes at speed bits per second, in ns, rounded down.
uint64_t WireTimeNs(uint64_t bytes, uint32_t speed);

// Ticks of 40 ms that a reply wait starting at startNs costs when the wanted bytes are complete
// at completeNs (kNeverNs: never): 0 when complete by the start, ceil((complete - start) /
// 40 ms) when that is at most 8, and 8 otherwise.
int ReplyWaitTicks(uint64_t startNs, uint64_t completeNs);

// What the floor of a run is made of. endNs = pcWireWaitNs + sleepNs + drains x 100 ms +
// replyWaitNs (ticks x 40 ms at the protocol's pace).
struct FloorParts {
  uint64_t endNs = 0;  // the protocol floor: when the last command had reached the unit (Close)
  uint64_t pcWireWaitNs = 0;  // the PC waiting for its own bytes to leave
  uint64_t sleepNs = 0;       // fixed sleeps of the greeting and the identification
  uint64_t drains = 0;
  uint64_t replyWaits = 0;
  uint64_t ticks = 0;
  uint64_t replyWaitsCut = 0;  // reply waits that ran their 8 ticks out (their 320 ms)
  uint64_t replyWaitNs = 0;    // time spent in reply waits
  uint64_t blocksWritten = 0;  // data blocks of the run, each counted once
  // Bytes by line speed, both directions.
  std::map<uint32_t, uint64_t> pcBytesAt;
  std::map<uint32_t, uint64_t> unitBytesAt;
};

// The sum of the wire times of the bytes of both maps at their speeds: the wire floor.
uint64_t WireFloorNs(const std::map<uint32_t, uint64_t>& pcBytesAt,
                     const std::map<uint32_t, uint64_t>& unitBytesAt);

// The timeline of one run at the protocol's pace. Time starts at 0 with the port open at the
// first speed; every call moves the PC's time as the protocol prescribes.
class PaceFloor {
 public:
  // prompt: reply waits at the --fast pace (see above).
  explicit PaceFloor(uint32_t speed, bool prompt = false);

  // The PC writes a command of wireBytes bytes (one write or several back to back: the same on
  // the wire); the unit answers with replyBytes bytes once the last of them has arrived. The
  // PC does not wait. name is what the unit takes it as, for comparison with a transcript.
  void Send(const std::string& name, uint32_t wireBytes, uint32_t replyBytes = 0);
  // Closes the port once its output has left and reopens it at speed: what is pending or still
  // on its way at the old speed is lost. The unit's own speed command is a Send before this.
  void Reopen(uint32_t speed);
  void Sleep(uint32_t ms);
  // The read primitive asking for wanted bytes.
  void Read(uint32_t wanted);
  // The input drain: 100 ms once the output has left, then whatever has arrived is discarded.
  void Drain();
  // Closes the port for good once its output has left; the floor ends there.
  void Close();
  // A data block of the run was written (its repeat before the flash is not counted).
  void CountBlock() {
    ++parts_.blocksWritten;
    blockTimesNs_.push_back(nowNs_);
  }

  uint64_t nowNs() const { return nowNs_; }
  uint32_t speed() const { return speed_; }
  const FloorParts& parts() const { return parts_; }
  // Every command in order, as the unit takes it, and when its last byte reached the unit.
  const std::vector<std::string>& commands() const { return commands_; }
  const std::vector<uint64_t>& commandTimesNs() const { return commandTimesNs_; }
  // When each counted block had been written and verified, in order.
  const std::vector<uint64_t>& blockTimesNs() const { return blockTimesNs_; }

 private:
  // One side's transmitter: bytes back to back, each end computed from the start of its run so
  // that long runs do not drift by rounding.
  struct Transmitter {
    uint64_t runStartNs = 0;
    uint64_t runBytes = 0;
    uint64_t freeNs = 0;
    uint64_t Next(uint64_t earliestNs, uint32_t speed);
  };

  void WaitForOutput();

  uint32_t speed_;
  bool prompt_;
  uint64_t nowNs_ = 0;
  Transmitter pc_;
  Transmitter unit_;
  std::deque<uint64_t> incoming_;  // arrival times of the unit's bytes not yet read
  FloorParts parts_;
  std::vector<std::string> commands_;
  std::vector<uint64_t> commandTimesNs_;
  std::vector<uint64_t> blockTimesNs_;
};

// The run the floor is worked out for: a unit that answers at every speed, is identified at
// once and needs no block twice.
struct UpdatePlan {
  uint32_t wantedSpeed = kDefaultSpeed;
  uint32_t firstContactSpeed = kFirstContactSpeed;
  uint32_t configSpeed = kConfigSpeed;
  // The unit's answers: to E, G, H and C; to M two characters per byte.
  uint32_t probeReply = 2;
  uint32_t greetReply = 3;
  uint32_t helloReply = 3;
  uint32_t checksumReply = 11;
  // The first record of an unidentified unit, read and confirmed before anything else of the
  // configuration; none when 0.
  uint32_t formatCheckLength = 0;
  // Configuration work; no readout and no write-back when readoutLength is 0.
  uint32_t readoutStart = kConfigRegionBase;
  uint32_t readoutLength = 0;
  uint32_t readBlock = 64;
  uint32_t records = 6;
  uint32_t recordSize = 0;  // of the written records
  uint32_t writeBlock = 256;
  bool recordFiveMoved = false;  // record 5 written over record 4
  // Image ranges, [start, end) in unit addresses; only their lengths matter for the timing.
  uint32_t downloadBlock = 1024;
  uint32_t firstRangeEnd = kFirstRangeEnd;
  uint32_t secondRangeStart = kSecondRangeStart;
  uint32_t secondRangeEnd = 0;
  bool secondImage = false;
  uint32_t secondImageStart = 0;
  uint32_t secondImageEnd = 0;
};

// Lays out the whole run of plan on floor, from first contact to the flash command, with the
// check before the flash: the configuration area's sums before the download when no records
// are written, every written block's sum asked for once, and the last block written again.
void PlanFullUpdate(const UpdatePlan& plan, PaceFloor& floor);

}  // namespace quorel
