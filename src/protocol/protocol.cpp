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

bool SendFormatted(UpdateState& s, const char* format, uint32_t value) {
  std::snprintf(s.replyBuffer, sizeof s.replyBuffer, format, value);
  return SendCommand(s, s.replyBuffer);
}

}  // namespace

bool SendCommand(UpdateState& s, const char* text) {
  if (RunInterrupted()) return false;
  SendText(text, s.port);
  return true;
}

bool SendCommand(UpdateState& s, uint8_t command) {
  if (RunInterrupted()) return false;
  s.port.SendByte(command);
  return true;
}

bool SingleProbe(UpdateState& s) {
  SendCommand(s, kCmdProbe);
  ReadReply(s.replyBuffer, s.port, kProbeReplyLength, s.clock);
  return std::strcmp(s.replyBuffer, "Ok") == 0;
}

void BurstProbe(UpdateState& s) {
  for (int i = 0; i < 20; ++i) SendCommand(s, kCmdProbe);
  ReadReply(s.replyBuffer, s.port, 2, s.clock);
  for (int reads = 0; std::strcmp(s.replyBuffer, "Ok") != 0 && reads < 20; ++reads) {
    ReadReply(s.replyBuffer, s.port, 2, s.clock);
  }
  DrainInput(s.port, s.clock);
}

OpenResult OpenSelectedPort(UpdateState& s, uint32_t speed) {
  return s.port.Open(s.selectedPortName, static_cast<int32_t>(speed), 0);
}

bool SendSpeedAndReopen(UpdateState& s, uint32_t speed) {
  if (!SendFormatted(s, "B%06u", speed)) return true;
  s.port.Close();
  if (OpenSelectedPort(s, speed) == kOpenOk) return true;
  // A port can refuse a moment after its close (a USB adapter's driver catching up); a second
  // try costs nothing on a port that opens.
  SleepMs(s.clock, kReopenRetryMs);
  return OpenSelectedPort(s, speed) == kOpenOk || RunInterrupted();
}

void ReportPortSpeedFailure(UpdateState& s, uint32_t speed) {
  static const uint32_t kOptionSpeeds[] = {28800, 14400, 9600, 4800, 2400};
  Print(s.console,
        "\nThe serial port could not be set to %u bit/s. The unit has already been told to\n"
        "switch to %u bit/s and is waiting at that speed; nothing more can be sent to it.\n"
        "Its firmware has not been changed.\n"
        "To go on, leave and re-enter its update mode from the remote\n"
        "('exit','menu',0,9,3,1), then run the updater again",
        speed, speed);
  // A slower speed choice avoids the speed this port cannot run at.
  for (int option = 0; option < 5; ++option) {
    if (kOptionSpeeds[option] < speed) {
      Print(s.console, " with -s%d (%u bit/s)", option, kOptionSpeeds[option]);
      break;
    }
  }
  Print(s.console, ".\n");
  s.port.Close();
}

void SendAddress(UpdateState& s, uint32_t address) { SendFormatted(s, "A%06X", address); }

void SendLength(UpdateState& s, uint32_t length) { SendFormatted(s, "L%06X", length); }

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

bool QueryChecksum(UpdateState& s, uint32_t* value, uint32_t waitMs) {
  SendCommand(s, kCmdChecksum);
  if (waitMs > 0) SleepMs(s.clock, waitMs);
  ReadReply(s.replyBuffer, s.port, kChecksumReplyLength, s.clock);
  return ParseChecksumReply(s.replyBuffer, value);
}

void LeaveUpdateMode(UpdateState& s) {
  if (s.port.IsOpen() && s.unitAnswered && !s.flashSent && !s.port.Lost()) {
    static const uint8_t kFiller[256] = {};
    while (s.blockBytesOwed > 0) {
      const uint32_t chunk = s.blockBytesOwed < sizeof kFiller ? s.blockBytesOwed : sizeof kFiller;
      s.port.Write(kFiller, chunk);
      s.blockBytesOwed -= chunk;
    }
    s.port.SendByte(kCmdLeave);
  }
  s.blockBytesOwed = 0;
  s.port.Close();
}

uint32_t BlockChecksum(const uint8_t* data, uint32_t length) {
  uint32_t sum = 0;
  for (uint32_t i = 0; i < length; ++i) sum += data[i];
  return sum;
}

bool WriteBlockAttempt(UpdateState& s, uint32_t address, const uint8_t* data, uint32_t length,
                       uint32_t* reply, const std::function<void()>& beforeData) {
  SendAddress(s, address);
  if (!SendCommand(s, "D")) return false;
  if (beforeData) beforeData();
  uint32_t sum = 0;
  s.blockBytesOwed = length;
  for (uint32_t i = 0; i < length; ++i) {
    if (RunInterrupted()) return false;
    s.port.SendByte(data[i]);
    --s.blockBytesOwed;
    sum += data[i];
  }
  // Whatever arrived while the block was on the wire (a reply to an earlier attempt that came
  // too late for its wait) must not be read as the answer to this block.
  s.port.DrainOutput();
  DiscardPendingInput(s.port);
  bool parsed = QueryChecksum(s, reply);
  return parsed && *reply == sum;
}

bool ReadBlockAttempt(UpdateState& s, uint32_t address, uint8_t* destination, uint32_t length,
                      uint32_t* reported, const std::function<void()>& beforeData) {
  SendAddress(s, address);
  if (!SendCommand(s, "M")) return false;
  if (beforeData) beforeData();
  uint32_t sum = 0;
  for (uint32_t i = 0; i < length; ++i) {
    if (RunInterrupted()) return false;
    ReadReply(s.replyBuffer, s.port, 2, s.clock);
    // A pair without a hexadecimal digit leaves the byte as it was; it still counts in the sum.
    ParseHexPair(s.replyBuffer, &destination[i]);
    sum += destination[i];
  }
  DrainInput(s.port, s.clock);
  bool parsed = QueryChecksum(s, reported);
  return parsed && *reported == sum;
}

bool RepeatUntilVerified(UpdateState& s, uint32_t length,
                         const std::function<bool(int attempt)>& attempt) {
  for (int n = 0; n < kMaxBlockAttempts; ++n) {
    if (s.port.Lost() || RunInterrupted()) return false;
    if (n > 0) {
      DrainInput(s.port, s.clock);
      SendLength(s, length);
    }
    if (attempt(n)) return true;
  }
  return false;
}

void ReportBlockFailure(UpdateState& s, const char* what, uint32_t address) {
  if (s.port.Lost()) {
    Print(s.console, "\nThe serial port stopped working during the %s (block at %06X).\n", what,
          address);
  } else {
    Print(s.console, "\nNo verified reply from the unit for the %s block at %06X after %d attempts.\n",
          what, address, kMaxBlockAttempts);
  }
  Print(s.console, "The unit was not flashed. Update exiting\n");
}

}  // namespace quorel
