#pragma once
// What the updater meant and what it saw, followed from its side of the line.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "common/watching_devices.h"

namespace quorel::sim {

// A SerialDevices that hands everything to another one and follows, from the bytes the updater
// writes and reads, every data block it sends ("A", "D" and the bytes) and the checksum reply it
// reads for it. The updater's own writes are never damaged, so this is exactly what the updater
// meant and what it saw, whatever happened on the wire behind.
class UpdaterTap : public WatchingDevices {
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

  explicit UpdaterTap(SerialDevices& inner) : WatchingDevices(inner) {}

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

 protected:
  // A reopened port starts without a reply on its way.
  void OnOpen(const char*, int32_t, OpenResult) override { replyDue_ = false; }
  void OnWrite(const uint8_t* data, size_t count, int32_t lineSpeed) override;
  void OnRead(const uint8_t* data, size_t got, int32_t lineSpeed) override;
  void OnClose(int32_t) override {}

 private:
  enum class Mode { kCommand, kArgument, kData, kMessage };

  void TakeByte(uint8_t byte);
  void Finish(const std::string& command);

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

// The value of a command's six hexadecimal digits ("A004000" gives 0x4000).
uint32_t HexArgument(const std::string& command);
}  // namespace quorel::sim
