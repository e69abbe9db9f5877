// The check before the flash. Every block of the download verified where it landed, but a
// damaged address or length command can make a block land elsewhere with an agreeing sum. So,
// before the flash, the unit is asked once more for the sum at the place of every block the run
// wrote, in the order they were written, and a block that differs is written again. The parts
// of the configuration area that the run does not write (all of it when nothing is converted)
// have their sums taken before anything is written and compared here: data that landed there
// would be flashed over the owner's settings, and nothing the run holds could restore them.
#include "phases/verify.h"

#include <algorithm>
#include <vector>

#include "config/records.h"
#include "phases/block_writer.h"
#include "protocol/protocol.h"
#include "run/write_plan.h"
#include "serial/link.h"

namespace quorel {

namespace {

constexpr uint32_t kConfigStretch = 0x400;
constexpr int kMaxVerifyPasses = 3;

// A pass that found nothing, one that wrote something again, or the end of the run (in result).
enum class PassResult { kClean, kRewrote, kEnded };

// A block of the run written once more: nothing shown, nothing kept again; attempts counts the
// attempts made.
class RewriteCount : public BlockWriteObserver {
 public:
  void BeforeData(int attempt, uint32_t) override { attempts = attempt + 1; }
  void NotVerified(uint32_t, uint32_t) override {}
  void Verified(const WrittenBlock&) override {}

  int attempts = 0;
};

// The parts of the configuration area the run does not write, as they were before.
PhaseResult ConfigAreaUnchanged(UpdateState& s) {
  for (const AreaSum& stretch : s.facts.configAreaSums) {
    uint32_t sum = 0;
    if (!QuerySum(s, stretch.address, stretch.length, &sum)) {
      return EndAfterBlockFailure(s, "verification", stretch.address);
    }
    if (sum != stretch.sum) {
      Print(s.console,
            "\nThe unit's configuration area was overwritten on the line (at %06X).\n"
            "The unit was not flashed. Update exiting\n",
            stretch.address);
      return EndRun(kStatusFailed);
    }
  }
  Print(s.console, ".");
  return kGoOn;
}

// One pass over everything the run wrote. image holds what must be in the unit: every block
// applied in the order written, so where two blocks overlap the later one counts. *end receives
// the end of the run when the pass ends it.
PassResult VerifyPass(UpdateState& s, const std::vector<uint8_t>& image, PhaseResult* end) {
  Print(s.console, "\nVerifying..");
  if (!s.facts.configAreaSums.empty()) {
    *end = ConfigAreaUnchanged(s);
    if (!end->goOn) return PassResult::kEnded;
  }
  bool rewrote = false;
  const std::vector<WrittenBlock>& blocks = s.facts.writtenBlocks;
  for (size_t i = 0; i < blocks.size(); ++i) {
    const WrittenBlock& block = blocks[i];
    uint32_t sum = 0;
    if (!QuerySum(s, block.address, block.length, &sum)) {
      *end = EndAfterBlockFailure(s, "verification", block.address);
      return PassResult::kEnded;
    }
    if (sum != BlockChecksum(image.data() + block.address, block.length)) {
      Print(s.console, "\nBlock at %06X differs on the unit, writing it again\n", block.address);
      RewriteCount rewrite;
      *end = WriteVerifiedBlock(s, block, rewrite);
      if (!end->goOn) return PassResult::kEnded;
      rewrote = true;
    }
    if (i + 1 == blocks.size() || blocks[i + 1].range != block.range) Print(s.console, ".");
  }
  return rewrote ? PassResult::kRewrote : PassResult::kClean;
}

}  // namespace

bool QuerySum(UpdateState& s, uint32_t address, uint32_t length, uint32_t* sum) {
  return RepeatUntilVerified(s.link, length, [&](int) {
    SendAddress(s.link, address);
    if (s.link.unitLength != length) SendLength(s.link, length);
    s.link.port.DrainOutput();
    DiscardPendingInput(s.link.port);
    return QueryChecksum(s.link, sum);
  });
}

PhaseResult RecordConfigAreaSums(UpdateState& s) {
  // The area less the converted records the run is about to write (all of it without a
  // conversion): the records' blocks are checked one by one, the rest must stay as it is.
  std::vector<bool> written(kConfigRegionEnd - kConfigRegionBase, false);
  if (WritesSettings(s)) {
    const uint32_t size = TargetRecordSize(s.payload.productKind, s.payload.releaseCode);
    for (uint32_t i = 0; i < kConfigRecordCount; ++i) {
      const uint32_t from = ConfigRecordAddress(s, i, size) - kConfigRegionBase;
      const uint32_t to = std::min<uint32_t>(from + size, kConfigRegionEnd - kConfigRegionBase);
      std::fill(written.begin() + from, written.begin() + to, true);
    }
  }
  s.facts.configAreaSums.clear();
  for (uint32_t offset = 0; offset < written.size();) {
    if (written[offset]) {
      ++offset;
      continue;
    }
    // A stretch of up to 1024 bytes that the run leaves alone.
    uint32_t length = 0;
    while (length < kConfigStretch && offset + length < written.size() &&
           !written[offset + length]) {
      ++length;
    }
    const uint32_t address = kConfigRegionBase + offset;
    uint32_t sum = 0;
    if (!QuerySum(s, address, length, &sum)) {
      return EndAfterBlockFailure(s, "configuration area check", address);
    }
    s.facts.configAreaSums.push_back({address, length, sum});
    offset += length;
  }
  return kGoOn;
}

PhaseResult VerifyBeforeFlash(UpdateState& s) {
  if (s.facts.writtenBlocks.empty()) return kGoOn;
  uint32_t extent = 0;
  for (const WrittenBlock& block : s.facts.writtenBlocks) {
    extent = std::max(extent, block.address + block.length);
  }
  std::vector<uint8_t> image(extent);
  for (const WrittenBlock& block : s.facts.writtenBlocks) {
    std::copy(block.data, block.data + block.length, image.begin() + block.address);
  }

  for (int pass = 0; pass < kMaxVerifyPasses; ++pass) {
    PhaseResult end = kGoOn;
    PassResult result = VerifyPass(s, image, &end);
    if (result == PassResult::kEnded) return end;
    if (result == PassResult::kClean) {
      // The run's last block exchange once more, so the unit meets the flash command right
      // after the exchange it has always met it after. When it had to be repeated, its first
      // attempt may have landed elsewhere: that calls for another pass.
      RewriteCount rewrite;
      end = WriteVerifiedBlock(s, s.facts.writtenBlocks.back(), rewrite);
      if (!end.goOn || rewrite.attempts == 1) return end;
    }
  }
  if (CancelRequested()) return kInterruptedRun;
  Print(s.console,
        "\nThe unit's memory could not be confirmed in %d verification passes.\n"
        "The unit was not flashed. Update exiting\n",
        kMaxVerifyPasses);
  return EndRun(kStatusFailed);
}

}  // namespace quorel
