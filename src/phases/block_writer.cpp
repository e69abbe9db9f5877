#include "phases/block_writer.h"

#include "protocol/protocol.h"
#include "serial/link.h"

namespace quorel {

namespace {

const char* RangeName(int range) {
  return range == kRangeConfig ? "configuration write"
         : range == kRangeHwImage ? "second image"
                                  : "main image";
}

}  // namespace

PhaseResult WriteVerifiedBlock(UpdateState& s, const WrittenBlock& block,
                               BlockWriteObserver& observer) {
  if (s.link.unitLength != block.length) SendLength(s.link, block.length);
  const uint32_t sum = BlockChecksum(block.data, block.length);
  uint32_t reply = 0;
  bool verified = RepeatUntilVerified(s.link, block.length, [&](int n) {
    bool ok = WriteBlockAttempt(s.link, block.address, block.data, block.length, &reply,
                                [&] { observer.BeforeData(n, reply); });
    if (!ok && !CancelRequested()) observer.NotVerified(reply, sum);
    return ok;
  });
  if (!verified) return EndAfterBlockFailure(s, RangeName(block.range), block.address);
  observer.Verified(block);
  return kGoOn;
}

PhaseResult WriteVerifiedRange(UpdateState& s, uint32_t start, uint32_t end,
                               const uint8_t* source, uint32_t blockLength, int range,
                               BlockWriteObserver& observer) {
  for (uint32_t address = start; address < end;) {
    const uint32_t length = end - address < blockLength ? end - address : blockLength;
    PhaseResult written =
        WriteVerifiedBlock(s, {address, length, source + (address - start), range}, observer);
    if (!written.goOn) return written;
    address += length;
  }
  return kGoOn;
}

}  // namespace quorel
