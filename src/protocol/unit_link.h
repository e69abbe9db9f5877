#pragma once
// The run's link to the unit: the one port, the time source its waits go through, the command
// line it opens its port and paces its reads by, the reply buffer, and what the exchanges must
// remember about the unit between two commands (the block length it holds, whether it has
// answered, whether it has been told to flash, the bytes owed to a block cut short). The
// exchanges in protocol.h work on it and print nothing; the phases above say what happened.
#include <cstdint>

#include "os/clock.h"
#include "protocol/line_speeds.h"
#include "protocol/run_options.h"
#include "serial/link.h"
#include "serial/serial_port.h"

namespace quorel {

struct UnitLink {
  UnitLink(SerialDevices& devices, Clock& clockSource, const RunOptions& runOptions)
      : port(devices), clock(clockSource), options(runOptions) {}

  SerialPort port;
  // The one time source of every sleep and wait of the run.
  Clock& clock;
  // The command line: every open and reopen of the run uses its selectedPortName ("COM1" to
  // "COM4", or the name --port maps), and --fast makes reply reads prompt and asks each opened
  // line for low latency.
  const RunOptions& options;
  // The speed the line runs at now.
  uint32_t currentSpeed = 0;
  char replyBuffer[100] = {};

  // The block length the unit holds from the run's last length command.
  uint32_t unitLength = 0;
  // Set once the unit has answered a probe: from then on every end of the run but the
  // completed update sends X.
  bool unitAnswered = false;
  // Set just before the flash command goes out: from then on the unit must not be disturbed,
  // and no X is sent whatever happens.
  bool flashSent = false;
  // Data bytes of a block write ("D") that have not been sent yet. A run cut short in the
  // middle of a block sends that many filler bytes first, or the unit would take the X for data.
  uint32_t blockBytesOwed = 0;
};

}  // namespace quorel
