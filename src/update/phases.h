#pragma once
// The phases of one update, in the order the driver runs them. Each either lets the run go on
// or ends it with an exit status, having printed its message and, once the unit has answered,
// sent X and closed the port. The driver prints the key prompt and waits at every end.
#include "update/update_state.h"

namespace quorel {

struct PhaseResult {
  bool goOn;
  int status;
};
constexpr PhaseResult kGoOn{true, 0};
constexpr PhaseResult EndRun(int status) { return PhaseResult{false, status}; }

// Exit statuses: 1 after a completed update and after the two refusals of identification;
// 0 after every other end (usage errors, connection failures, blocks that never verified).
constexpr int kStatusUpdated = 1;
constexpr int kStatusRefused = 1;
constexpr int kStatusFailed = 0;
constexpr int kStatusUsage = 0;
// --help, --version and --list-ports.
constexpr int kStatusInfo = 0;

// update/connection.cpp
PhaseResult NegotiateConnection(UpdateState& s);
void GreetUnit(UpdateState& s);
// update/identification.cpp
PhaseResult IdentifyUnit(UpdateState& s);
// config/readout.cpp
PhaseResult ConfigReadoutPhase(UpdateState& s);
bool ReadUnitMemory(UpdateState& s, uint32_t address, uint32_t count, uint8_t* destination,
                    bool dots);
// config/writeback.cpp
PhaseResult WriteBackConfig(UpdateState& s);
PhaseResult FinishConfigPhase(UpdateState& s);
// firmware/download.cpp
PhaseResult ImageDownload(UpdateState& s);
// firmware/flash.cpp
PhaseResult FlashCommit(UpdateState& s);

}  // namespace quorel
