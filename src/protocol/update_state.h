#pragma once
// What the phases of one run hand each other. The driver creates it at start; each phase reads
// and writes its fields and either returns to the driver or ends the run.
#include <cstdint>
#include <string>

#include "config/records.h"
#include "console/console.h"
#include "os/clock.h"
#include "payload/payload.h"
#include "serial/serial_port.h"

namespace quorel {

class TraceLog;

// Line speeds in bits per second.
constexpr uint32_t kFirstContactSpeed = 9600;
constexpr uint32_t kConfigSpeed = 14400;
constexpr uint32_t kDefaultSpeed = 28800;

struct UpdateState {
  UpdateState(SerialDevices& devices, Clock& clockSource, Console& consoleIo,
              const FirmwarePayload& firmware)
      : port(devices), clock(clockSource), console(consoleIo), payload(firmware) {}

  SerialPort port;
  char selectedPortName[5] = "COM1";
  uint32_t wantedSpeed = kDefaultSpeed;
  uint32_t currentSpeed = 0;
  uint32_t releaseRow = 0;
  bool unitUnidentified = false;
  ConfigConversionKind configConversionKind = kNoConversion;
  uint32_t unitChecksum = 0;
  char replyBuffer[100] = {};
  ConfigReadout configReadout = {};

  // What the run works with: the one time source, the console and the compiled-in payload.
  Clock& clock;
  Console& console;
  const FirmwarePayload& payload;

  // Set once the unit has answered a probe: from then on every end of the run but the
  // completed update sends X.
  bool unitAnswered = false;
  // Set just before the flash command goes out: from then on the unit must not be disturbed,
  // and no X is sent whatever happens.
  bool flashSent = false;
  // Data bytes of a block write ("D") that have not been sent yet. A run cut short in the
  // middle of a block sends that many filler bytes first, or the unit would take the X for data.
  uint32_t blockBytesOwed = 0;

  // --port: the device selectedPortName stands for in this run (empty: the system's own).
  std::string portDevice;
  // --trace: the file the run's trace goes to (empty: none), and the trace that records it
  // (null where the caller does not trace, as in the simulations).
  std::string tracePath;
  TraceLog* trace = nullptr;
};

}  // namespace quorel
