#include "common/updater_tap.h"

#include "sim/hex_digit.h"

namespace quorel::sim {

uint32_t HexArgument(const std::string& command) {
  uint32_t value = 0;
  for (size_t i = 1; i < command.size(); ++i) {
    value = value * 16u + static_cast<uint32_t>(HexValue(command[i]));
  }
  return value;
}

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

void UpdaterTap::OnWrite(const uint8_t* data, size_t count, int32_t) {
  replyDue_ = false;
  for (size_t i = 0; i < count; ++i) {
    written_ += static_cast<char>(data[i]);
    TakeByte(data[i]);
  }
}

void UpdaterTap::OnRead(const uint8_t* data, size_t count, int32_t) {
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
    address_ = HexArgument(command);
  } else if (letter == 'L') {
    length_ = HexArgument(command);
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

}  // namespace quorel::sim
