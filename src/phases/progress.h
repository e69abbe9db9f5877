#pragma once
// An update's written blocks as a progress display sees them: how many the run writes, how many
// are done, and the time left, from the pace model.
#include "run/pace_model.h"
#include "run/phase_result.h"
#include "run/update_state.h"

namespace quorel {

// The update this build would make of the unit, laid out for the pace model: the unit answers
// at once at the negotiated speed and no block needs a repeat.
UpdatePlan PlanOfUpdate(const UpdateState& s, bool hwImage);

// Once the configuration work is done and the rest of the update is known: tells the progress
// display (when there is one) the blocks of the whole update and the time left after each.
void PlanProgress(UpdateState& s);

// Keeps a written and verified block for the check before the flash, and tells the progress
// display.
void RecordWrittenBlock(UpdateState& s, const WrittenBlock& block);

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
