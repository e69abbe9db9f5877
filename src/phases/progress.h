#pragma once
// An update's written blocks as a progress display sees them: how many the run writes, how many
// are done, and the time left, from the pace model.
#include "run/pace_model.h"
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
}  // namespace quorel
