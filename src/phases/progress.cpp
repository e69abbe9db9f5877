#include "phases/progress.h"

#include "config/records.h"
#include "protocol/protocol.h"
#include "run/write_plan.h"

namespace quorel {

UpdatePlan PlanOfUpdate(const UpdateState& s, bool hwImage) {
  UpdatePlan plan;
  plan.wantedSpeed = s.facts.negotiatedSpeed;
  plan.firstContactSpeed = kFirstContactSpeed;
  plan.configSpeed = kConfigSpeed;
  const bool restoring = RestoringSettings(s);
  plan.formatCheckLength = s.facts.unitUnidentified && !restoring ? kRecordV2Size : 0;
  // A restore reads nothing, but the model only writes records after a readout: the estimate
  // then includes one.
  if (WritesSettings(s)) {
    const bool converted =
        s.facts.settingsJudged && s.facts.settings.state == SettingsState::kConverted;
    plan.readoutStart = kConfigRegionBase;
    plan.readoutLength = kConfigRecordCount * kRecordV2Size;
    plan.records = converted ? 0 : kConfigRecordCount;
    plan.recordSize = TargetRecordSize(s.payload.productKind, s.payload.releaseCode);
  }
  plan.secondRangeEnd = kSwImageEnd;
  plan.secondImage = hwImage;
  plan.secondImageStart = kHwImageBase;
  plan.secondImageEnd = kHwImageEnd;
  return plan;
}

void PlanProgress(UpdateState& s) {
  if (s.progress == nullptr) return;
  const UpdatePlan plan = PlanOfUpdate(s, SendsHwImage(s.payload, s.facts.releaseRow));
  PaceFloor floor(plan.firstContactSpeed, s.options.fastReplies);
  PlanFullUpdate(plan, floor);
  const std::vector<uint64_t>& times = floor.blockTimesNs();
  const uint64_t endNs = floor.parts().endNs;
  // Before the first block: the model's time from the end of the block before it, which is
  // where the run stands when it starts writing (the first block's own time counted).
  std::vector<uint64_t> leftNs;
  leftNs.reserve(times.size() + 1);
  const uint64_t firstBlockNs = times.size() >= 2 ? times[1] - times[0] : 0;
  leftNs.push_back(times.empty() ? 0 : endNs - times[0] + firstBlockNs);
  for (uint64_t t : times) leftNs.push_back(endNs - t);
  s.progress->Planned(static_cast<uint32_t>(times.size()), leftNs);
  s.progress->BlocksWritten(static_cast<uint32_t>(s.facts.writtenBlocks.size()));
}

void RecordWrittenBlock(UpdateState& s, const WrittenBlock& block) {
  s.facts.writtenBlocks.push_back(block);
  if (s.progress != nullptr) {
    s.progress->BlocksWritten(static_cast<uint32_t>(s.facts.writtenBlocks.size()));
  }
}

}  // namespace quorel
