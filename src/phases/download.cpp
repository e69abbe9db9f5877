// Image download: the main image over its two address ranges, then, for a unit whose release
// is older than a fixed one for the payload's model, the second image; every block verified
// against the unit's checksum.
#include "phases/download.h"

#include "payload/release_code.h"
#include "phases/progress.h"
#include "protocol/protocol.h"
#include "serial/link.h"

namespace quorel {

namespace {

constexpr uint32_t kDownloadBlockLength = 0x400;
constexpr uint32_t kFirstRangeEnd = 0x4000;
constexpr uint32_t kSecondRangeStart = 0x8000;
// Units older than these releases also need the second image.
constexpr ReleaseCode kHwImageBeforeBase = 0x111103;
constexpr ReleaseCode kHwImageBeforePro = 0x110503;

// A range written block by block, with "Retry#%d" and "cs err" on repeats and the length
// command before a short last block.
PhaseResult SendRange(UpdateState& s, uint32_t start, uint32_t end, const uint8_t* source,
                      uint32_t& currentLength, const char* what, int range) {
  for (uint32_t address = start; address < end;) {
    uint32_t remaining = end - address;
    if (remaining < currentLength) {
      SendLength(s.link, remaining);
      currentLength = remaining;
    }
    uint32_t reply = 0;
    int attempts = 0;
    const uint8_t* data = source + (address - start);
    bool verified = RepeatUntilVerified(s.link, currentLength, [&](int) {
      uint32_t sum = BlockChecksum(data, currentLength);
      bool ok = WriteBlockAttempt(s.link, address, data, currentLength, &reply, [&] {
        if (attempts != 0) Print(s.console, "Retry#%d\n", attempts);
      });
      ++attempts;
      if (!ok && !CancelRequested()) Print(s.console, "cs err,rs=%x cs=%x\n", reply, sum);
      return ok;
    });
    if (!verified) return EndAfterBlockFailure(s, what, address);
    RecordWrittenBlock(s, {address, currentLength, data, range});
    Print(s.console, ".");
    address += currentLength;
  }
  return kGoOn;
}

}  // namespace

bool SendsHwImage(const FirmwarePayload& payload, uint32_t releaseRow) {
  const ReleaseCode threshold =
      payload.productKind == kBaseModel ? kHwImageBeforeBase : kHwImageBeforePro;
  return IsOlder(payload.releaseTable.code[releaseRow], threshold);
}

PhaseResult ImageDownload(UpdateState& s) {
  const FirmwarePayload& payload = s.payload;
  SendCommand(s.link, "JDOWNLOADING UPDATE\n");
  Print(s.console, "\nSending SW update..");
  SendCommand(s.link, kCmdProbe);
  ReadUnitReply(s.link, kProbeReplyLength);  // not judged
  SendLength(s.link, kDownloadBlockLength);  // L000400
  SendCommand(s.link, "K");
  uint32_t currentLength = kDownloadBlockLength;

  for (uint32_t address = 0; address < kFirstRangeEnd; address += kDownloadBlockLength) {
    uint32_t reply = 0;
    const uint8_t* data = payload.SwImage + address;
    bool verified = RepeatUntilVerified(s.link, kDownloadBlockLength, [&](int) {
      return WriteBlockAttempt(s.link, address, data, kDownloadBlockLength, &reply, [&] {
        if (reply != 0) Print(s.console, "Retry003\n");
      });
    });
    if (!verified) return EndAfterBlockFailure(s, "main image", address);
    RecordWrittenBlock(s, {address, kDownloadBlockLength, data, kRangeFirst});
    Print(s.console, ".");
  }

  PhaseResult sent =
      SendRange(s, kSecondRangeStart, kSwImageEnd, payload.SwImage + kSecondRangeStart,
                currentLength, "main image", kRangeSecond);
  if (!sent.goOn) return sent;

  if (!SendsHwImage(payload, s.facts.releaseRow)) return kGoOn;

  Print(s.console, "\nSending HW update..");
  SendLength(s.link, kDownloadBlockLength);  // L000400
  currentLength = kDownloadBlockLength;
  return SendRange(s, kHwImageBase, kHwImageEnd, payload.HwImage, currentLength, "second image",
                   kRangeHwImage);
}

}  // namespace quorel
