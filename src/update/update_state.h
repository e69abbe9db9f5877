#pragma once
// What the phases of one run hand each other. The driver creates it at start; each phase reads
// and writes its fields and either returns to the driver or ends the run.
#include <array>
#include <cstdint>
#include <string>

#include "console/console.h"
#include "os/clock.h"
#include "payload/payload.h"
#include "serial/serial_port.h"

namespace quorel {

class TraceLog;

// Which configuration conversion the unit needs: 0 none, 1 from the oldest record layout,
// 2 from the middle layout for a Pro payload.
using ConfigConversionKind = int;
constexpr ConfigConversionKind kNoConversion = 0;
constexpr ConfigConversionKind kFromV1 = 1;
constexpr ConfigConversionKind kFromV2 = 2;

// Mirror of the unit's configuration region: byte k stands for unit address 0x4000 + k. Room
// for six of the largest records, since the conversion builds its output in place.
constexpr uint32_t kConfigReadoutSize = 16848;
using ConfigReadout = std::array<uint8_t, kConfigReadoutSize>;

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

  // Set once the unit has answered a probe: from then on every failure exit sends X.
  bool unitAnswered = false;

  // --port: the device selectedPortName stands for in this run (empty: the system's own).
  std::string portDevice;
  // --trace: the file the run's trace goes to (empty: none), and the trace that records it
  // (null where the caller does not trace, as in the simulations).
  std::string tracePath;
  TraceLog* trace = nullptr;
};

}  // namespace quorel
