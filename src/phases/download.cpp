// Image download: the main image over its two address ranges, then, for a unit whose release
// is older than a fixed one for the payload's model, the second image; every block verified
// against the unit's checksum.
#include "serial/link.h"
#include "update/phases.h"
#include "update/protocol.h"
#include "update/release_code.h"

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
bool SendRange(UpdateState& s, uint32_t start, uint32_t end, const uint8_t* source,
               uint32_t& currentLength, const char* what) {
  for (uint32_t address = start; address < end;) {
    uint32_t remaining = end - address;
    if (remaining < currentLength) {
      SendLength(s, remaining);
      currentLength = remaining;
    }
    uint32_t reply = 0;
    int attempts = 0;
    const uint8_t* data = source + (address - start);
    bool verified = RepeatUntilVerified(s, currentLength, [&](int) {
      uint32_t sum = BlockChecksum(data, currentLength);
      bool ok = WriteBlockAttempt(s, address, data, currentLength, &reply, [&] {
        if (attempts != 0) Print(s.console, "Retry#%d\n", attempts);
      });
      ++attempts;
      if (!ok) Print(s.console, "cs err,rs=%x cs=%x\n", reply, sum);
      return ok;
    });
    if (!verified) {
      ReportBlockFailure(s, what, address);
      return false;
    }
    Print(s.console, ".");
    address += currentLength;
  }
  return true;
}

}  // namespace

PhaseResult ImageDownload(UpdateState& s) {
  const FirmwarePayload& payload = s.payload;
  SendText("JDOWNLOADING UPDATE\n", s.port);
  Print(s.console, "\nSending SW update..");
  s.port.SendByte(kCmdProbe);
  ReadReply(s.replyBuffer, s.port, kProbeReplyLength, s.clock);  // not judged
  SendText("L000400", s.port);
  SendText("K", s.port);
  uint32_t currentLength = kDownloadBlockLength;

  for (uint32_t address = 0; address < kFirstRangeEnd; address += kDownloadBlockLength) {
    uint32_t reply = 0;
    const uint8_t* data = payload.SwImage + address;
    bool verified = RepeatUntilVerified(s, kDownloadBlockLength, [&](int) {
      return WriteBlockAttempt(s, address, data, kDownloadBlockLength, &reply, [&] {
        if (reply != 0) Print(s.console, "Retry003\n");
      });
    });
    if (!verified) {
      ReportBlockFailure(s, "main image", address);
      return EndRun(kStatusFailed);
    }
    Print(s.console, ".");
  }

  if (!SendRange(s, kSecondRangeStart, kSwImageEnd, payload.SwImage + kSecondRangeStart,
                 currentLength, "main image")) {
    return EndRun(kStatusFailed);
  }

  const ReleaseCode unitRelease = payload.releaseTable.code[s.releaseRow];
  const ReleaseCode threshold =
      payload.productKind == kBaseModel ? kHwImageBeforeBase : kHwImageBeforePro;
  if (!IsOlder(unitRelease, threshold)) return kGoOn;

  Print(s.console, "\nSending HW update..");
  SendText("L000400", s.port);
  currentLength = kDownloadBlockLength;
  if (!SendRange(s, kHwImageBase, kHwImageEnd, payload.HwImage, currentLength, "second image")) {
    return EndRun(kStatusFailed);
  }
  return kGoOn;
}

}  // namespace quorel
