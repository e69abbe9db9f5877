#pragma once
// One block written until the unit confirms it: the length command when the unit holds another
// length, the block write exchange, and its repeats. The download, the configuration write-back
// and the check before the flash all write through here; each says what the console shows of a
// block through a BlockWriteObserver.
#include "run/phase_result.h"
#include "run/update_state.h"

namespace quorel {

// Told how the writing of one block goes: each phase shows its own repeat marks and dots on the
// console through it, and keeps the blocks it writes (RecordWrittenBlock).
class BlockWriteObserver {
 public:
  virtual ~BlockWriteObserver() = default;
  // Just before the data of attempt n (0: the first). lastReply is the unit's sum read last for
  // this block, 0 while none was.
  virtual void BeforeData(int attempt, uint32_t lastReply) = 0;
  // An attempt did not verify and the run goes on: the unit's sum read last and the block's.
  virtual void NotVerified(uint32_t lastReply, uint32_t sum) = 0;
  // The block verified.
  virtual void Verified(const WrittenBlock& block) = 0;
};

// Writes the block with the block write exchange until it verifies (the length command first
// when the unit holds another length). kGoOn when it verified; otherwise the end of the run,
// naming the block's range and address.
PhaseResult WriteVerifiedBlock(UpdateState& s, const WrittenBlock& block,
                               BlockWriteObserver& observer);

// Writes the unit addresses [start, end) from source, one verified block of blockLength bytes
// after another, the last one shorter when the range ends before it.
PhaseResult WriteVerifiedRange(UpdateState& s, uint32_t start, uint32_t end,
                               const uint8_t* source, uint32_t blockLength, int range,
                               BlockWriteObserver& observer);

}  // namespace quorel
