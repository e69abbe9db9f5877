#include "phases/phase_result.h"

#include "protocol/protocol.h"

namespace quorel {

PhaseResult EndAfterBlockFailure(UpdateState& s, const char* what, uint32_t address) {
  if (RunInterrupted()) return kInterruptedRun;
  ReportBlockFailure(s, what, address);
  return EndRun(kStatusFailed);
}

}  // namespace quorel
