// Configuration write-back: the converted records go back to the unit in checksummed blocks,
// then the closing sequence of the configuration phase runs in every update and the line
// returns to the negotiated speed.
#include "config/records.h"
#include "phases/config_phase.h"
#include "phases/progress.h"
#include "protocol/protocol.h"
#include "serial/link.h"

namespace quorel {

namespace {

constexpr uint32_t kWriteBlockLength = 256;
// A first byte of ':' marks a last record of the newest layout that belongs in the fourth
// record's place.
constexpr uint8_t kRecordFiveMovedMark = 0x3A;

PhaseResult WriteConfigRecord(UpdateState& s, uint32_t offset, uint32_t size, uint32_t address) {
  SendLength(s.link, kWriteBlockLength);
  const uint32_t blocks = (size - 1) / kWriteBlockLength + 1;
  for (uint32_t b = 0; b < blocks; ++b) {
    uint32_t length = kWriteBlockLength;
    if ((b + 1) * kWriteBlockLength > size) {
      length = size - b * kWriteBlockLength;
      SendLength(s.link, length);
    }
    const uint32_t blockAddress = address + b * kWriteBlockLength;
    const uint8_t* data = s.facts.configReadout.data() + offset + b * kWriteBlockLength;
    uint32_t reply = 0;
    bool verified = RepeatUntilVerified(s.link, length, [&](int) {
      return WriteBlockAttempt(s.link, blockAddress, data, length, &reply, [&] {
        if (reply != 0) Print(s.console, "Re43");
      });
    });
    if (!verified) return EndAfterBlockFailure(s, "configuration write", blockAddress);
    RecordWrittenBlock(s, {blockAddress, length, data, kRangeConfig});
  }
  return kGoOn;
}

}  // namespace

uint32_t ConfigRecordAddress(const UpdateState& s, uint32_t i, uint32_t size) {
  if (i == 5 && size == kRecordV3Size && s.facts.configReadout[i * size] == kRecordFiveMovedMark) {
    return kConfigRegionBase + 4 * size;
  }
  return kConfigRegionBase + i * size;
}

PhaseResult WriteBackConfig(UpdateState& s) {
  const uint32_t size = TargetRecordSize(s.payload.productKind, s.payload.releaseCode);
  for (uint32_t i = 0; i < kConfigRecordCount; ++i) {
    const uint32_t address = ConfigRecordAddress(s, i, size);
    PhaseResult written = WriteConfigRecord(s, i * size, size, address);
    if (!written.goOn) return written;
    Print(s.console, ".");
  }
  return kGoOn;
}

PhaseResult FinishConfigPhase(UpdateState& s) {
  SendCommand(s.link, "K");
  SendCommand(s.link, kCmdProbe);
  ReadUnitReply(s.link, kProbeReplyLength);
  SendCommand(s.link, "V0");
  SendCommand(s.link, kCmdTick);
  ReadUnitReply(s.link, kProbeReplyLength);
  SendCommand(s.link, "V0");
  ReadUnitReply(s.link, kProbeReplyLength);
  if (RunInterrupted()) return kInterruptedRun;
  if (s.link.currentSpeed == s.facts.negotiatedSpeed) return kGoOn;

  s.link.currentSpeed = s.facts.negotiatedSpeed;
  if (!SendSpeedAndReopen(s.link, s.link.currentSpeed)) {
    ReportPortSpeedFailure(s, s.link.currentSpeed);
    return EndRun(kStatusFailed);
  }
  if (!SingleProbe(s.link)) {
    if (RunInterrupted()) return kInterruptedRun;
    return EndRun(kStatusFailed, "Connection failed after check config\n");
  }
  return kGoOn;
}

}  // namespace quorel
