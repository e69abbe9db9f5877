#pragma once
// The run's command line as the driver reads it: one record, written once by the option parser,
// read by every part of the run that needs it (the link opens its port and paces its reads from
// it; the phases take their requests from it).
#include <cstdint>
#include <string>

#include "protocol/line_speeds.h"

namespace quorel {

// The run's command line: what the user asked for.
struct RunOptions {
  // -cX: "COM1" to "COM4".
  char selectedPortName[5] = "COM1";
  // -sX: the speed the connection starts at.
  uint32_t wantedSpeed = kDefaultSpeed;
  // --fast: prompt reply reads and a low-latency adapter.
  bool fastReplies = false;
  // --port: the device selectedPortName stands for (empty: the system's own).
  std::string portDevice;
  // --trace: the file the run's trace goes to (empty: none).
  std::string tracePath;
  // --identify: report what the unit runs and what an update would do, and write nothing.
  bool identifyOnly = false;
  // --save-config: where the configuration read goes (empty: nowhere).
  std::string saveConfigPath;
  // --restore-config: the copy whose settings the update writes (empty: the unit's own).
  std::string restoreConfigPath;
};

}  // namespace quorel
