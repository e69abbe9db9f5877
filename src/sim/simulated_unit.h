#pragma once
// The unit's side of the update mode: a byte-driven emulation of the command interpreter that
// listens on the unit's serial port. It knows nothing of time sources or wires: the caller feeds
// it every byte that reached the unit's receiver, tells it the time of arrival with SetTime, and
// sends whatever it answers. The virtual line (virtual_line.h) serves it on a virtual clock; the
// same core can be served over a pseudo-terminal in real time.
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace quorel::sim {

// One complete command as the unit took it.
struct TranscriptEntry {
  uint64_t timeNs;      // when the command's last byte reached the unit
  uint32_t speed;       // the unit's line speed at that moment (before a speed command acts)
  std::string command;  // the text as sent; "D[1024]" for a data block of 1024 bytes;
                        // "?" and two hex digits for a byte that is no command (noise)
};

// How a checksum reply goes wrong.
enum class ChecksumFaultKind {
  kWrong,      // "CS=" with eight digits of a sum one higher than the true one
  kMissing,    // no reply at all
  kMalformed,  // "CX=" and eight digits: the right length, but no "CS="
  kLate,       // the right reply, sent only delayMs after the query arrived
  kShort,      // "CS=" and the true sum without leading zeros ("CS=1F")
};

struct ChecksumFault {
  ChecksumFaultKind kind = ChecksumFaultKind::kWrong;
  uint32_t delayMs = 0;  // for kLate
};

// Which checksum query a fault applies to: the current address when C arrived, and the attempt
// at that address (0 for the first C while the current address is that address, 1 for the next
// C at the same address, and so on; a C at another address starts the count again).
// Each fault applies once, to the first query that matches its key.
using ChecksumKey = std::pair<uint32_t, int>;

struct UnitFaults {
  // Nothing answers and nothing is taken: no unit on the line, or one not in update mode.
  bool absent = false;
  // What E is answered with ("Ok" for a listening unit).
  std::string probeReply = "Ok";
  // While the unit runs at one of these speeds its replies are lost on the way out; it still
  // follows every command, speed commands included.
  std::set<uint32_t> silentSpeeds;
  // silentSpeeds apply only once this many speed commands have switched the unit (0: from the
  // start), so that a speed can answer at first and fail when the line comes back to it.
  int silentSpeedsAfterSpeedCommands = 0;
  // H is answered with "Err" instead of "HOk".
  bool greetingNeverAnswers = false;
  // Faults of single checksum replies, and stray bytes sent just before a checksum reply.
  std::map<ChecksumKey, ChecksumFault> checksumFaults;
  std::map<ChecksumKey, std::string> strayBeforeChecksum;
  // Once this many checksum queries have been answered (-1: never), the unit answers nothing
  // more. It keeps taking commands, so the transcript shows what the updater went on sending.
  int silentAfterChecksums = -1;
  // Likewise, once this many data blocks have been received in full.
  int silentAfterBlocks = -1;
  // "A" commands taken as another address: the first `times` of them (-1: every one) that name
  // the key's address set the mapped address instead, as a damaged digit would.
  struct AddressFault {
    uint32_t takenAs = 0;
    int times = 1;
  };
  std::map<uint32_t, AddressFault> addressFaults;
};

struct UnitStats {
  uint64_t bytesReceived = 0;
  uint64_t bytesSent = 0;
  uint64_t dataBlocks = 0;       // D blocks received in full
  uint64_t checksumQueries = 0;  // C commands taken
  uint64_t noiseBytes = 0;       // bytes that began no command
  uint64_t speedChanges = 0;     // speed commands that switched the unit
  uint64_t addressesMistaken = 0;  // "A" commands taken as another address (addressFaults)
  std::map<uint32_t, uint32_t> dataBlocksAt;  // D blocks received in full, by start address
};

class SimulatedUnit {
 public:
  static constexpr uint32_t kMemorySize = 1u << 24;
  static constexpr uint32_t kFirstContactSpeed = 9600;
  // Longest "J" message text; a message without its line feed ends there.
  static constexpr size_t kMaxMessageLength = 200;
  // Most bytes one "M" sends (a length damaged on the line cannot make it dump for hours).
  static constexpr uint32_t kMaxDumpLength = 0x10000;

  // In update mode at 9600, memory all zero, current address and length 0.
  SimulatedUnit();

  // Sets the time (nanoseconds) at which the next received bytes reached the unit; the
  // transcript records it. Time never goes backwards for the unit: an earlier time is ignored.
  void SetTime(uint64_t ns);
  // Takes one byte that reached the unit's receiver and appends what the unit sends in answer
  // to *reply. Returns the delay in milliseconds after the byte's arrival before the unit starts
  // sending that answer (0 but for a late checksum reply).
  uint32_t Receive(uint8_t byte, std::string* reply);

  std::vector<uint8_t>& memory() { return memory_; }
  const std::vector<uint8_t>& memory() const { return memory_; }
  uint32_t speed() const { return speed_; }
  // Puts the unit at another line speed, as if an earlier session had left it there.
  void SetSpeed(uint32_t speed) { speed_ = speed; }
  uint32_t currentAddress() const { return address_; }
  uint32_t currentLength() const { return length_; }

  // Fills the code region 0x8000..0x15FFF with firmware-like bytes whose byte sum is exactly
  // sum (0 to 0xE000 * 255). The same sum always gives the same bytes.
  void SetCodeRegionChecksum(uint32_t sum);
  // Writes six configuration records of recordSize bytes (2480, 2512 or 2808) back to back from
  // 0x4000, with settings-like content derived from seed. With validChecksums each record
  // carries its correct, non-zero record checksum; without, each stored checksum is wrong.
  void WriteConfigRecords(uint32_t recordSize, uint32_t seed, bool validChecksums);
  // Sets every byte of the configuration area 0x4000..0x7FFF to value (0x00: a wiped unit,
  // 0xFF: erased flash).
  void FillConfigRegion(uint8_t value);
  // Byte sum of memory[address, address + length), as the unit reports it.
  uint32_t MemorySum(uint32_t address, uint32_t length) const;

  UnitFaults& faults() { return faults_; }
  const UnitStats& stats() const { return stats_; }

  // True once "F5382" was taken. The unit then programs its flash and takes no more commands.
  bool flashed() const { return flashed_; }
  // True once X was taken.
  bool leftUpdateMode() const { return leftUpdateMode_; }
  // False after X or "F5382": further bytes show in the transcript as noise and get no answer.
  bool inUpdateMode() const { return inUpdateMode_; }
  // Back into update mode (the user pressed the remote's key sequence again).
  void EnterUpdateMode();
  // True when a fault has silenced the unit for good.
  bool dead() const;

  // The texts of the "J" messages, without the J and the line feed.
  const std::vector<std::string>& messages() const { return messages_; }

  const std::vector<TranscriptEntry>& transcript() const { return transcript_; }
  std::vector<std::string> Commands() const;
  // One line per entry: the time in milliseconds with three decimals, the speed and the command
  // with control characters escaped ("\n" as \n).
  std::string TranscriptText() const;
  void ClearTranscript() { transcript_.clear(); }

 private:
  enum class Mode { kCommand, kArgument, kData, kMessage };

  void Record(const std::string& command);
  void RecordNoise(const std::string& bytes);
  // Starts a command with its first byte; returns false when the byte begins none.
  bool StartCommand(uint8_t byte, std::string* reply);
  // Runs a complete command held in pending_.
  void FinishCommand(std::string* reply);
  void AnswerChecksum(std::string* reply, uint32_t* delayMs);
  void Answer(const std::string& text, std::string* reply);

  std::vector<uint8_t> memory_;
  uint32_t speed_ = kFirstContactSpeed;
  uint32_t address_ = 0;
  uint32_t length_ = 0;
  uint64_t nowNs_ = 0;

  Mode mode_ = Mode::kCommand;
  std::string pending_;   // the command being received
  size_t argumentLength_ = 0;
  bool hexArgument_ = false;
  uint32_t dataReceived_ = 0;
  uint32_t dataAddress_ = 0;

  bool inUpdateMode_ = true;
  bool flashed_ = false;
  bool leftUpdateMode_ = false;
  uint64_t checksumsAnswered_ = 0;
  bool checksumSeen_ = false;
  uint32_t checksumAddress_ = 0;
  int checksumAttempt_ = 0;

  UnitFaults faults_;
  UnitStats stats_;
  std::vector<std::string> messages_;
  std::vector<TranscriptEntry> transcript_;
};

}  // namespace quorel::sim
