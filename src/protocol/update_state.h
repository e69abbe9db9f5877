#pragma once
// What the phases of one run hand each other. The driver creates it at start; each phase reads
// and writes its fields and either returns to the driver or ends the run.
#include <cstdint>
#include <string>
#include <vector>

#include "config/records.h"
#include "console/console.h"
#include "os/clock.h"
#include "payload/payload.h"
#include "serial/serial_port.h"

namespace quorel {

class TraceLog;

// One block the run wrote and the unit verified, kept for the verification pass before the
// flash. data points into the payload or into the configuration buffer, both alive for the run.
struct WrittenBlock {
  uint32_t address;
  uint32_t length;
  const uint8_t* data;
  int range;  // which range of the run the block belongs to; the pass prints a dot per range
};

// The sum of a stretch of the configuration area that the run does not write.
struct AreaSum {
  uint32_t address;
  uint32_t length;
  uint32_t sum;
};

// The ranges a run writes, in the order it writes them.
constexpr int kRangeConfig = 0;
constexpr int kRangeFirst = 1;
constexpr int kRangeSecond = 2;
constexpr int kRangeHwImage = 3;

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

  // --fast: reply reads return as soon as the characters asked for are there.
  bool fastReplies = false;
  // The block length the unit holds from the run's last length command.
  uint32_t unitLength = 0;
  // The blocks the run wrote, in order, and the sums of the parts of the configuration area
  // that the run does not write, taken before anything was written.
  std::vector<WrittenBlock> writtenBlocks;
  std::vector<AreaSum> configAreaSums;
  // --port: the device selectedPortName stands for in this run (empty: the system's own).
  std::string portDevice;
  // --trace: the file the run's trace goes to (empty: none), and the trace that records it
  // (null where the caller does not trace, as in the simulations).
  std::string tracePath;
  TraceLog* trace = nullptr;

  // --identify: the run says what the unit runs and what an update would do, and writes
  // nothing to the unit. --save-config: the file the configuration read goes to (empty: none).
  bool identifyOnly = false;
  std::string saveConfigPath;
};

}  // namespace quorel
