#pragma once
// Connection: first contact at 9600, the switch to the wanted speed and the ladder of slower
// speeds, then the greeting.
#include "phases/phase_result.h"

namespace quorel {

// Leaves the port open at currentSpeed and wantedSpeed set to it, or ends the run.
PhaseResult NegotiateConnection(UpdateState& s);
// G and H until the reply is "HOk", with up to 10 repeats. Never ends the run by itself.
void GreetUnit(UpdateState& s);

}  // namespace quorel
