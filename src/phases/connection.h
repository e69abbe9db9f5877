#pragma once
// Connection: first contact at 9600, the switch to the wanted speed and the ladder of slower
// speeds, then the greeting.
#include <cstdint>

#include "run/phase_result.h"

namespace quorel {

// Starts at wantedSpeed (the -s choice) and steps down until the unit answers. Leaves the port
// open at the link's currentSpeed, with the run's negotiatedSpeed set to it, or ends the run.
PhaseResult NegotiateConnection(UpdateState& s);
// What the first contact says when the unit does not answer (the update-mode instructions).
void PrintNoUnitAnswered(UpdateState& s);
// G and H until the reply is "HOk", with up to 10 repeats. Never ends the run by itself.
void GreetUnit(UpdateState& s);

}  // namespace quorel
