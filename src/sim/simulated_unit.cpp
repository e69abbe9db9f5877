#include "sim/simulated_unit.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "sim/hex_digit.h"
#include "sim/unit_layout.h"

namespace quorel::sim {

namespace {

constexpr uint32_t kAddressMask = SimulatedUnit::kMemorySize - 1;
constexpr size_t kSpeedDigits = 6;
constexpr size_t kAddressDigits = 6;
constexpr size_t kFlashCodeDigits = 4;
constexpr size_t kMonitorPageDigits = 1;
const char kFlashCode[] = "F5382";

// The speeds the unit's serial port can be switched to.
bool SupportedSpeed(uint32_t speed) {
  switch (speed) {
    case 28800:
    case 14400:
    case 9600:
    case 4800:
    case 2400:
    case 1000:
      return true;
    default:
      return false;
  }
}

uint32_t ParseArgument(const std::string& digits, bool hex) {
  uint32_t value = 0;
  for (char c : digits) {
    value = value * (hex ? 16u : 10u) + static_cast<uint32_t>(HexValue(c));
  }
  return value;
}

std::string Hex8(uint32_t value) {
  char text[12];
  std::snprintf(text, sizeof text, "%08X", value);
  return text;
}

// A small deterministic generator for memory contents (xorshift64*).
class Generator {
 public:
  explicit Generator(uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 0x2545F4914F6CDD1Dull) {
    if (state_ == 0) state_ = 1;
  }
  uint32_t Next() {
    state_ ^= state_ >> 12;
    state_ ^= state_ << 25;
    state_ ^= state_ >> 27;
    return static_cast<uint32_t>((state_ * 0x2545F4914F6CDD1Dull) >> 32);
  }
  // A value from 0 to bound - 1.
  uint32_t Below(uint32_t bound) { return bound == 0 ? 0 : Next() % bound; }

 private:
  uint64_t state_;
};

}  // namespace

SimulatedUnit::SimulatedUnit() : memory_(kMemorySize, 0) {}

void SimulatedUnit::SetTime(uint64_t ns) { nowNs_ = std::max(nowNs_, ns); }

void SimulatedUnit::EnterUpdateMode() {
  inUpdateMode_ = true;
  mode_ = Mode::kCommand;
  pending_.clear();
}

bool SimulatedUnit::dead() const {
  if (faults_.silentAfterChecksums >= 0 &&
      checksumsAnswered_ >= static_cast<uint64_t>(faults_.silentAfterChecksums)) {
    return true;
  }
  return faults_.silentAfterBlocks >= 0 &&
         stats_.dataBlocks >= static_cast<uint64_t>(faults_.silentAfterBlocks);
}

void SimulatedUnit::Record(const std::string& command) {
  transcript_.push_back(TranscriptEntry{nowNs_, speed_, command});
}

void SimulatedUnit::RecordNoise(const std::string& bytes) {
  std::string text = "?";
  for (char c : bytes) {
    char pair[4];
    std::snprintf(pair, sizeof pair, "%02X", static_cast<unsigned>(static_cast<uint8_t>(c)));
    text += pair;
  }
  stats_.noiseBytes += bytes.size();
  Record(text);
}

void SimulatedUnit::Answer(const std::string& text, std::string* reply) {
  // A dead unit sends nothing; at a silent speed the reply is sent but never gets through, which
  // for the updater is the same.
  if (text.empty() || dead()) return;
  if (faults_.silentSpeeds.count(speed_) != 0 &&
      stats_.speedChanges >= static_cast<uint64_t>(faults_.silentSpeedsAfterSpeedCommands)) {
    return;
  }
  reply->append(text);
  stats_.bytesSent += text.size();
}

uint32_t SimulatedUnit::Receive(uint8_t byte, std::string* reply) {
  if (faults_.absent) return 0;
  ++stats_.bytesReceived;
  if (!inUpdateMode_) {
    RecordNoise(std::string(1, static_cast<char>(byte)));
    return 0;
  }

  switch (mode_) {
    case Mode::kData: {
      // Raw bytes: whatever their value, they are data until the block is complete.
      memory_[(dataAddress_ + dataReceived_) & kAddressMask] = byte;
      ++dataReceived_;
      if (dataReceived_ >= length_) FinishCommand(reply);
      return 0;
    }
    case Mode::kMessage: {
      pending_ += static_cast<char>(byte);
      if (byte == '\n' || pending_.size() > kMaxMessageLength) FinishCommand(reply);
      return 0;
    }
    case Mode::kArgument: {
      bool valid = hexArgument_ ? HexValue(static_cast<char>(byte)) >= 0 : (byte >= '0' && byte <= '9');
      if (valid) {
        pending_ += static_cast<char>(byte);
        if (pending_.size() == 1 + argumentLength_) FinishCommand(reply);
        return 0;
      }
      // A command cut short (a byte lost on the line): drop it and take this byte afresh.
      RecordNoise(pending_);
      pending_.clear();
      mode_ = Mode::kCommand;
      break;
    }
    case Mode::kCommand:
      break;
  }

  if (!StartCommand(byte, reply)) {
    RecordNoise(std::string(1, static_cast<char>(byte)));
    return 0;
  }
  if (mode_ == Mode::kCommand && byte == 'C') {
    // The checksum reply is the only one that may come late.
    uint32_t delayMs = 0;
    AnswerChecksum(reply, &delayMs);
    return delayMs;
  }
  return 0;
}

bool SimulatedUnit::StartCommand(uint8_t byte, std::string* reply) {
  pending_.assign(1, static_cast<char>(byte));
  auto argument = [this](size_t digits, bool hex) {
    mode_ = Mode::kArgument;
    argumentLength_ = digits;
    hexArgument_ = hex;
  };
  switch (byte) {
    case 'B': argument(kSpeedDigits, false); return true;
    case 'A': argument(kAddressDigits, true); return true;
    case 'L': argument(kAddressDigits, true); return true;
    case 'F': argument(kFlashCodeDigits, false); return true;
    case 'V': argument(kMonitorPageDigits, false); return true;
    case 'J': mode_ = Mode::kMessage; return true;
    case 'D':
      dataAddress_ = address_;
      dataReceived_ = 0;
      if (length_ == 0) {
        FinishCommand(reply);
      } else {
        mode_ = Mode::kData;
      }
      return true;
    case 'C':
      Record("C");
      return true;
    case 'E':
      Record("E");
      Answer(faults_.probeReply, reply);
      return true;
    case 'G':
      Record("G");
      Answer("GOk", reply);
      return true;
    case 'H':
      Record("H");
      Answer(faults_.greetingNeverAnswers ? "Err" : "HOk", reply);
      return true;
    case 'M': {
      Record("M");
      const uint32_t count = std::min(length_, kMaxDumpLength);
      std::string dump;
      dump.reserve(static_cast<size_t>(count) * 2);
      for (uint32_t i = 0; i < count; ++i) {
        char pair[4];
        std::snprintf(pair, sizeof pair, "%02X", memory_[(address_ + i) & kAddressMask]);
        dump += pair;
      }
      Answer(dump, reply);
      return true;
    }
    case 'K':
    case 'T':
      // Taken without an answer: the updater reads nothing after either.
      Record(std::string(1, static_cast<char>(byte)));
      return true;
    case 'X':
      Record("X");
      leftUpdateMode_ = true;
      inUpdateMode_ = false;
      return true;
    default:
      pending_.clear();
      return false;
  }
}

void SimulatedUnit::FinishCommand(std::string* reply) {
  (void)reply;  // none of the multi-byte commands is answered
  const char letter = pending_.empty() ? '\0' : pending_[0];
  mode_ = Mode::kCommand;
  switch (letter) {
    case 'B': {
      Record(pending_);
      uint32_t speed = ParseArgument(pending_.substr(1), false);
      // The new speed applies from the next byte on; an unsupported one is ignored.
      if (SupportedSpeed(speed)) {
        speed_ = speed;
        ++stats_.speedChanges;
      }
      break;
    }
    case 'A': {
      Record(pending_);
      address_ = ParseArgument(pending_.substr(1), true) & kAddressMask;
      auto fault = faults_.addressFaults.find(address_);
      if (fault != faults_.addressFaults.end() && fault->second.times != 0) {
        if (fault->second.times > 0) --fault->second.times;
        address_ = fault->second.takenAs & kAddressMask;
        ++stats_.addressesMistaken;
      }
      break;
    }
    case 'L':
      Record(pending_);
      length_ = ParseArgument(pending_.substr(1), true);
      break;
    case 'F':
      Record(pending_);
      if (pending_ == kFlashCode) {
        flashed_ = true;
        inUpdateMode_ = false;
      }
      break;
    case 'V':
      Record(pending_);
      break;
    case 'J': {
      Record(pending_);
      std::string text = pending_.substr(1);
      if (!text.empty() && text.back() == '\n') text.pop_back();
      messages_.push_back(text);
      break;
    }
    case 'D': {
      Record("D[" + std::to_string(dataReceived_) + "]");
      ++stats_.dataBlocks;
      ++stats_.dataBlocksAt[dataAddress_];
      break;
    }
    default:
      break;
  }
  pending_.clear();
}

void SimulatedUnit::AnswerChecksum(std::string* reply, uint32_t* delayMs) {
  ++stats_.checksumQueries;
  if (checksumSeen_ && checksumAddress_ == address_) {
    ++checksumAttempt_;
  } else {
    checksumSeen_ = true;
    checksumAddress_ = address_;
    checksumAttempt_ = 0;
  }
  if (dead()) return;

  const ChecksumKey key{address_, checksumAttempt_};
  const uint32_t sum = MemorySum(address_, length_);
  std::string text;
  // Each fault happens once, at the first query that matches its key: a later visit to the
  // same address (a second read of the same area, the check before the flash) meets a unit
  // that answers as usual.
  auto stray = faults_.strayBeforeChecksum.find(key);
  if (stray != faults_.strayBeforeChecksum.end()) {
    text = stray->second;
    faults_.strayBeforeChecksum.erase(stray);
  }

  auto found = faults_.checksumFaults.find(key);
  if (found == faults_.checksumFaults.end()) {
    text += "CS=" + Hex8(sum);
  } else {
    const ChecksumFault fault = found->second;
    faults_.checksumFaults.erase(found);
    switch (fault.kind) {
      case ChecksumFaultKind::kWrong: text += "CS=" + Hex8(sum + 1); break;
      case ChecksumFaultKind::kMissing: break;
      case ChecksumFaultKind::kMalformed: text += "CX=" + Hex8(sum); break;
      case ChecksumFaultKind::kLate:
        text += "CS=" + Hex8(sum);
        *delayMs = fault.delayMs;
        break;
      case ChecksumFaultKind::kShort: {
        char digits[12];
        std::snprintf(digits, sizeof digits, "%X", sum);
        text += std::string("CS=") + digits;
        break;
      }
    }
  }
  Answer(text, reply);
  ++checksumsAnswered_;
}

uint32_t SimulatedUnit::MemorySum(uint32_t address, uint32_t length) const {
  uint32_t sum = 0;
  for (uint32_t i = 0; i < length; ++i) sum += memory_[(address + i) & kAddressMask];
  return sum;
}

void SimulatedUnit::SetCodeRegionChecksum(uint32_t sum) {
  const uint32_t count = layout::kCodeRegionLength;
  const uint32_t target = std::min<uint32_t>(sum, count * 255u);
  uint8_t* code = memory_.data() + layout::kCodeRegionStart;

  // Bytes scattered around the mean value, then nudged one step at a time until the sum is
  // exact. The stride visits every byte (it shares no factor with the region's length), so the
  // nudges spread over the whole region instead of piling up at its start.
  const int32_t mean = static_cast<int32_t>(target / count);
  const int32_t spread = std::min({mean, 255 - mean, 48});
  Generator generator(target);
  int64_t total = 0;
  for (uint32_t i = 0; i < count; ++i) {
    int32_t offset = static_cast<int32_t>(generator.Below(static_cast<uint32_t>(2 * spread + 1)));
    int32_t value = std::clamp(mean + offset - spread, 0, 255);
    code[i] = static_cast<uint8_t>(value);
    total += value;
  }
  int64_t difference = static_cast<int64_t>(target) - total;
  constexpr uint32_t kStride = 7919;
  uint32_t index = 0;
  while (difference != 0) {
    uint8_t& byte = code[index];
    if (difference > 0 && byte < 255) {
      ++byte;
      --difference;
    } else if (difference < 0 && byte > 0) {
      --byte;
      ++difference;
    }
    index = (index + kStride) % count;
  }
}

void SimulatedUnit::WriteConfigRecords(uint32_t recordSize, uint32_t seed, bool validChecksums) {
  static const char* const kLabels[] = {"INPUT 1 ", "INPUT 2 ", "VIDEO   ", "S-VIDEO ",
                                        "RGB HV  ", "COMPNENT", "PRESET  ", "USER    "};
  Generator generator(seed);
  for (uint32_t r = 0; r < layout::kRecords; ++r) {
    uint8_t* record = memory_.data() + layout::kConfigBase + r * recordSize;
    std::memset(record, 0, recordSize);
    // Header outside the checksum: a name, the record number and a layout mark.
    std::memcpy(record, "SETUP", 5);
    record[5] = static_cast<uint8_t>('0' + r);
    record[6] = static_cast<uint8_t>(recordSize >> 8);
    record[7] = static_cast<uint8_t>(seed);
    // Picture settings: small values around their defaults.
    for (uint32_t i = 8; i < 26; ++i) record[i] = static_cast<uint8_t>(32 + generator.Below(32));
    uint32_t bodyStart = 28;
    if (recordSize != layout::kRecordV1) {
      // The four groups of eight and the two bytes of the later layouts.
      static const uint8_t kGroupDefaults[] = {0x04, 0x05, 0x80, 0x7C};
      for (uint32_t g = 0; g < 4; ++g) {
        for (uint32_t k = 0; k < 8; ++k) {
          record[26 + g * 8 + k] =
              static_cast<uint8_t>(kGroupDefaults[g] + generator.Below(3) - 1);
        }
      }
      bodyStart = 60;
    } else {
      record[26] = static_cast<uint8_t>(generator.Below(4));
      record[27] = 0;
    }
    // Body: per-input blocks of 16-bit levels and small switches with a label, then unused
    // space that stays zero.
    const uint32_t checksumAt = recordSize - 4;
    const uint32_t usedEnd = bodyStart + (checksumAt - bodyStart) * 3 / 4;
    uint32_t at = bodyStart;
    for (uint32_t block = 0; at + 64 <= usedEnd; ++block) {
      std::memcpy(record + at, kLabels[(block + r + seed) % 8], 8);
      for (uint32_t k = 8; k < 40; k += 2) {
        uint32_t level = 128 + generator.Below(768);
        record[at + k] = static_cast<uint8_t>(level);
        record[at + k + 1] = static_cast<uint8_t>(level >> 8);
      }
      for (uint32_t k = 40; k < 64; ++k) record[at + k] = static_cast<uint8_t>(generator.Below(4));
      at += 64;
    }
    if (layout::RecordSum(record, recordSize) == 0) {
      record[8] = static_cast<uint8_t>(record[8] + 1);
    }
    layout::SealRecord(record, recordSize);
    if (!validChecksums) {
      record[checksumAt] ^= 0x5A;
      record[checksumAt + 1] ^= 0x5A;
    }
    record[recordSize - 2] = 0x55;
    record[recordSize - 1] = 0xAA;
  }
}

void SimulatedUnit::FillConfigRegion(uint8_t value) {
  std::fill(memory_.begin() + layout::kConfigBase, memory_.begin() + layout::kConfigEnd, value);
}

std::vector<std::string> SimulatedUnit::Commands() const {
  std::vector<std::string> commands;
  commands.reserve(transcript_.size());
  for (const TranscriptEntry& entry : transcript_) commands.push_back(entry.command);
  return commands;
}

std::string SimulatedUnit::TranscriptText() const {
  std::string text;
  for (const TranscriptEntry& entry : transcript_) {
    char head[64];
    std::snprintf(head, sizeof head, "%" PRIu64 ".%03" PRIu64 " %u ", entry.timeNs / 1000000,
                  entry.timeNs / 1000 % 1000, entry.speed);
    text += head;
    for (char c : entry.command) {
      const auto byte = static_cast<uint8_t>(c);
      if (c == '\n') {
        text += "\\n";
      } else if (c == '\r') {
        text += "\\r";
      } else if (byte < 0x20 || byte >= 0x7F) {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
        text += escaped;
      } else {
        text += c;
      }
    }
    text += '\n';
  }
  return text;
}

}  // namespace quorel::sim
