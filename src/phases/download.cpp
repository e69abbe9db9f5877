// Image download: the main image over its two address ranges, then, for a unit whose release
// is older than a fixed one for the payload's model, the second image; every block verified
// against the unit's checksum.
#include "phases/download.h"

#include "payload/release_code.h"
#include "phases/block_writer.h"
#include "phases/progress.h"
#include "protocol/protocol.h"
#include "run/write_plan.h"
#include "serial/link.h"

namespace quorel {

namespace {

constexpr uint32_t kDownloadBlockLength = 0x400;

// The console's marks of the download's blocks: a dot per block verified and, before the data
// of a repeat, "Retry003" in the main image's first range (once the unit has answered the block)
// and "Retry#n" in the later ranges, where an attempt that does not verify also shows the unit's
// sum beside the block's.
class DownloadMarks : public BlockWriteObserver {
 public:
  DownloadMarks(UpdateState& s, bool firstRange) : s_(s), firstRange_(firstRange) {}
  void BeforeData(int attempt, uint32_t lastReply) override {
    if (firstRange_ && lastReply != 0) Print(s_.console, "Retry003\n");
    if (!firstRange_ && attempt != 0) Print(s_.console, "Retry#%d\n", attempt);
  }
  void NotVerified(uint32_t lastReply, uint32_t sum) override {
    if (!firstRange_) Print(s_.console, "cs err,rs=%x cs=%x\n", lastReply, sum);
  }
  void Verified(const WrittenBlock& block) override {
    RecordWrittenBlock(s_, block);
    Print(s_.console, ".");
  }

 private:
  UpdateState& s_;
  bool firstRange_;
};

}  // namespace

PhaseResult ImageDownload(UpdateState& s) {
  const FirmwarePayload& payload = s.payload;
  SendCommand(s.link, kMsgDownloading);
  Print(s.console, "\nSending SW update..");
  SendCommand(s.link, kCmdProbe);
  ReadUnitReply(s.link, kProbeReplyLength);  // not judged
  SendLength(s.link, kDownloadBlockLength);  // L000400
  SendCommand(s.link, kCmdK);
  DownloadMarks firstMarks(s, true);
  PhaseResult sent = WriteVerifiedRange(s, 0, kFirstRangeEnd, payload.SwImage,
                                        kDownloadBlockLength, kRangeFirst, firstMarks);
  if (!sent.goOn) return sent;
  DownloadMarks marks(s, false);
  sent = WriteVerifiedRange(s, kSecondRangeStart, kSwImageEnd, payload.SwImage + kSecondRangeStart,
                            kDownloadBlockLength, kRangeSecond, marks);
  if (!sent.goOn) return sent;

  if (!SendsHwImage(payload, s.facts.releaseRow)) return kGoOn;

  Print(s.console, "\nSending HW update..");
  SendLength(s.link, kDownloadBlockLength);  // L000400
  return WriteVerifiedRange(s, kHwImageBase, kHwImageEnd, payload.HwImage, kDownloadBlockLength,
                            kRangeHwImage, marks);
}

}  // namespace quorel
