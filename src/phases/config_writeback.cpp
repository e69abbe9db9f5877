// Configuration write-back: the converted records go back to the unit in checksummed blocks,
// then the closing sequence of the configuration phase runs in every update and the line
// returns to the negotiated speed.
#include "config/records.h"
#include "phases/block_writer.h"
#include "phases/config_phase.h"
#include "phases/progress.h"
#include "protocol/protocol.h"
#include "run/write_plan.h"
#include "serial/link.h"

namespace quorel {

namespace {

constexpr uint32_t kWriteBlockLength = 256;

// A Ctrl-C while the records are written is held until they are all written: the console says
// so once.
void NoteHeldCancel(UpdateState& s, bool* told) {
  if (*told || !CancelHeld()) return;
  *told = true;
  Print(s.console,
        "\nInterrupted: finishing writing the settings back first (Ctrl-C again stops at once)\n");
}

// The console's marks of the records' blocks: "Re43" before the data of a repeat once the unit
// has answered the block, and the note of a held Ctrl-C after the block it came during.
class WriteBackMarks : public BlockWriteObserver {
 public:
  explicit WriteBackMarks(UpdateState& s) : s_(s) {}
  void BeforeData(int, uint32_t lastReply) override {
    if (lastReply != 0) Print(s_.console, "Re43");
  }
  void NotVerified(uint32_t, uint32_t) override {}
  void Verified(const WrittenBlock& block) override {
    RecordWrittenBlock(s_, block);
    NoteHeldCancel(s_, &told);
  }

  // The held Ctrl-C has been noted on the console.
  bool told = false;

 private:
  UpdateState& s_;
};

}  // namespace

PhaseResult WriteBackConfig(UpdateState& s) {
  const uint32_t size = TargetRecordSize(s.payload.productKind, s.payload.releaseCode);
  // From the first block on, a first Ctrl-C is held until the last record is written.
  if (!HoldCancel()) return kInterruptedRun;
  s.facts.writeBackStarted = true;
  WriteBackMarks marks(s);
  for (uint32_t i = 0; i < kConfigRecordCount; ++i) {
    const uint32_t address = ConfigRecordAddress(s, i, size);
    SendLength(s.link, kWriteBlockLength);
    PhaseResult written =
        WriteVerifiedRange(s, address, address + size, s.facts.configReadout.data() + i * size,
                           kWriteBlockLength, kRangeConfig, marks);
    if (!written.goOn) {
      ReleaseCancel();
      return written;
    }
    Print(s.console, ".");
  }
  s.facts.writeBackDone = true;
  NoteHeldCancel(s, &marks.told);
  if (!CancelHeld()) {
    ReleaseCancel();
    return kGoOn;
  }
  // The settings are whole: the unit takes the "K" that closes them, as in a run that goes on,
  // and the run ends as one cut short.
  SendCommand(s.link, kCmdK);
  ReleaseCancel();
  return kInterruptedRun;
}

PhaseResult FinishConfigPhase(UpdateState& s) {
  SendCommand(s.link, kCmdK);
  SendCommand(s.link, kCmdProbe);
  ReadUnitReply(s.link, kProbeReplyLength);
  SendCommand(s.link, kCmdV0);
  SendCommand(s.link, kCmdTick);
  ReadUnitReply(s.link, kProbeReplyLength);
  SendCommand(s.link, kCmdV0);
  ReadUnitReply(s.link, kProbeReplyLength);
  if (CancelRequested()) return kInterruptedRun;
  if (s.link.currentSpeed == s.facts.negotiatedSpeed) return kGoOn;

  if (!SendSpeedAndReopen(s.link, s.facts.negotiatedSpeed)) {
    ReportPortSpeedFailure(s, s.link.currentSpeed);
    return EndRun(kStatusFailed);
  }
  if (!SingleProbe(s.link)) {
    if (CancelRequested()) return kInterruptedRun;
    return EndRun(kStatusFailed, "Connection failed after check config\n");
  }
  return kGoOn;
}

}  // namespace quorel
