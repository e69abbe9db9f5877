#include "protocol/protocol.h"

#include <cstdio>
#include <cstring>

#include "serial/link.h"

namespace quorel {

namespace {

// The wait before the second try of a reopen that failed.
constexpr uint32_t kReopenRetryMs = 100;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool SendFormatted(UnitLink& link, const char* format, uint32_t value) {
  char command[16];
  std::snprintf(command, sizeof command, format, value);
  return SendCommand(link, command);
}

}  // namespace

bool SendCommand(UnitLink& link, const char* text) {
  if (CancelRequested()) return false;
  SendText(text, link.port);
  return true;
}

bool SendCommand(UnitLink& link, uint8_t command) {
  if (CancelRequested()) return false;
  link.port.SendByte(command);
  return true;
}

bool SingleProbe(UnitLink& link) {
  SendCommand(link, kCmdProbe);
  ReadUnitReply(link, kProbeReplyLength);
  return std::strcmp(link.replyBuffer, "Ok") == 0;
}

void BurstProbe(UnitLink& link) {
  for (int i = 0; i < 20; ++i) SendCommand(link, kCmdProbe);
  ReadReply(link.replyBuffer, link.port, 2, link.clock);
  for (int reads = 0; std::strcmp(link.replyBuffer, "Ok") != 0 && reads < 20; ++reads) {
    ReadReply(link.replyBuffer, link.port, 2, link.clock);
  }
  DrainInput(link.port, link.clock);
}

OpenResult OpenSelectedPort(UnitLink& link, uint32_t speed) {
  const OpenResult result =
      link.port.Open(link.options.selectedPortName, static_cast<int32_t>(speed), 0);
  // Best effort: a driver that refuses low latency still carries the run.
  if (result == kOpenOk && link.options.fastReplies) link.port.RequestLowLatency();
  return result;
}

bool SendSpeedAndReopen(UnitLink& link, uint32_t speed) {
  link.currentSpeed = speed;
  if (!SendFormatted(link, kCmdSpeedFormat, speed)) return true;
  link.port.Close();
  if (OpenSelectedPort(link, speed) == kOpenOk) return true;
  // A port can refuse a moment after its close (a USB adapter's driver catching up); a second
  // try costs nothing on a port that opens.
  SleepMs(link.clock, kReopenRetryMs);
  return OpenSelectedPort(link, speed) == kOpenOk || CancelRequested();
}

void SendAddress(UnitLink& link, uint32_t address) { SendFormatted(link, kCmdAddressFormat, address); }

void SendLength(UnitLink& link, uint32_t length) {
  SendFormatted(link, kCmdLengthFormat, length);
  link.unitLength = length;
}

void SendLengthLowerHex(UnitLink& link, uint32_t length) {
  SendFormatted(link, kCmdLengthLowerHexFormat, length);
  link.unitLength = length;
}

int32_t ReadUnitReply(UnitLink& link, int32_t n) {
  // --fast: reads look for their characters as soon as they are there.
  const ReplyPace pace = link.options.fastReplies ? ReplyPace::kPrompt : ReplyPace::kTicks;
  return ReadReply(link.replyBuffer, link.port, n, link.clock, pace);
}

bool ParseChecksumReply(const char* text, uint32_t* value) {
  if (std::strncmp(text, "CS=", 3) != 0) return false;
  uint32_t parsed = 0;
  int digits = 0;
  for (const char* p = text + 3; digits < 8 && HexDigit(*p) >= 0; ++p, ++digits) {
    parsed = parsed * 16 + static_cast<uint32_t>(HexDigit(*p));
  }
  if (digits == 0) return false;
  *value = parsed;
  return true;
}

bool ParseHexPair(const char* text, uint8_t* value) {
  int high = HexDigit(text[0]);
  if (high < 0) return false;
  int low = HexDigit(text[1]);
  *value = static_cast<uint8_t>(low < 0 ? high : high * 16 + low);
  return true;
}

bool QueryChecksum(UnitLink& link, uint32_t* value, uint32_t waitMs) {
  SendCommand(link, kCmdChecksum);
  if (waitMs > 0) SleepMs(link.clock, waitMs);
  ReadUnitReply(link, kChecksumReplyLength);
  return ParseChecksumReply(link.replyBuffer, value);
}

void LeaveUpdateMode(UnitLink& link) {
  if (link.port.IsOpen() && link.unitAnswered && !link.flashSent && !link.port.Lost()) {
    static const uint8_t kFiller[256] = {};
    while (link.blockBytesOwed > 0) {
      const uint32_t chunk = link.blockBytesOwed < sizeof kFiller ? link.blockBytesOwed : sizeof kFiller;
      link.port.Write(kFiller, chunk);
      link.blockBytesOwed -= chunk;
    }
    link.port.SendByte(kCmdLeave);
  }
  link.blockBytesOwed = 0;
  link.port.Close();
}

uint32_t BlockChecksum(const uint8_t* data, uint32_t length) {
  uint32_t sum = 0;
  for (uint32_t i = 0; i < length; ++i) sum += data[i];
  return sum;
}

bool WriteBlockAttempt(UnitLink& link, uint32_t address, const uint8_t* data, uint32_t length,
                       uint32_t* reply, const std::function<void()>& beforeData) {
  SendAddress(link, address);
  if (!SendCommand(link, kCmdBlockWrite)) return false;
  if (beforeData) beforeData();
  uint32_t sum = 0;
  link.blockBytesOwed = length;
  for (uint32_t i = 0; i < length; ++i) {
    if (CancelRequested()) return false;
    link.port.SendByte(data[i]);
    --link.blockBytesOwed;
    sum += data[i];
  }
  // Whatever arrived while the block was on the wire (a reply to an earlier attempt that came
  // too late for its wait) must not be read as the answer to this block.
  link.port.DrainOutput();
  DiscardPendingInput(link.port);
  bool parsed = QueryChecksum(link, reply);
  return parsed && *reply == sum;
}

bool ReadBlockAttempt(UnitLink& link, uint32_t address, uint8_t* destination, uint32_t length,
                      uint32_t* reported, const std::function<void()>& beforeData) {
  SendAddress(link, address);
  if (!SendCommand(link, kCmdBlockRead)) return false;
  if (beforeData) beforeData();
  uint32_t sum = 0;
  for (uint32_t i = 0; i < length; ++i) {
    if (CancelRequested()) return false;
    ReadUnitReply(link, 2);
    // A pair without a hexadecimal digit leaves the byte as it was; it still counts in the sum.
    ParseHexPair(link.replyBuffer, &destination[i]);
    sum += destination[i];
  }
  DrainInput(link.port, link.clock);
  bool parsed = QueryChecksum(link, reported);
  return parsed && *reported == sum;
}

bool RepeatUntilVerified(UnitLink& link, uint32_t length,
                         const std::function<bool(int attempt)>& attempt) {
  for (int n = 0; n < kMaxBlockAttempts; ++n) {
    if (link.port.Lost() || CancelRequested()) return false;
    if (n > 0) {
      DrainInput(link.port, link.clock);
      SendLength(link, length);
    }
    if (attempt(n)) return true;
  }
  return false;
}

}  // namespace quorel
