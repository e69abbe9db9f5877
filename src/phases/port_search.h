#pragma once
// --port auto: find the port the unit is on by asking each of the machine's serial ports.
#include "run/phase_result.h"

namespace quorel {

// The --port value that asks for the search instead of naming a device.
constexpr char kAutoPort[] = "auto";

// Opens each of the system's ports in turn as the first contact opens one (9600, parity 0),
// sends one E, reads the reply as the first contact does and closes the port again. A port
// another program holds is skipped. Exactly one "Ok": the run's port name now opens that device
// (said on standard error) and the run goes on. None: the first contact's text for a unit that
// does not answer, a line on standard error naming the ports asked and skipped, and the end of
// the run. More than one: a line naming them and the end of the run. Nothing but E is sent.
PhaseResult FindUnitPort(UpdateState& s);

}  // namespace quorel
