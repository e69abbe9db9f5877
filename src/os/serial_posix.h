#pragma once
// Serial ports of a POSIX system (Linux termios). A port name "COM1" to "COM4" stands for the
// device /dev/ttyS0 to /dev/ttyS3, unless MapPort points it elsewhere (--port; the demo and the
// tests point COM1 at a pseudo-terminal). An open line runs raw at the asked speed (within 2 %,
// as the driver's divider allows), 8N1, no flow control, DTR and RTS off, blocking reads and
// writes, and is held exclusively.
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "os/serial_device.h"

namespace quorel {

// The device path behind a port name on this system; empty when the name names no port.
std::string DevicePathForPort(const char* portName);

// Sets both directions of the open terminal fd to speed and reads back the rates the driver
// applied. Returns 0, or the errno of the call that failed.
using LineSpeedSetter = std::function<int(int fd, uint32_t speed, uint32_t* appliedOutput,
                                          uint32_t* appliedInput)>;
int SetAndReadLineSpeed(int fd, uint32_t speed, uint32_t* appliedOutput, uint32_t* appliedInput);

// True when a driver's applied rate is within 2 % of the asked one: two UARTs that far apart
// still frame each other's bytes.
bool SpeedWithinTolerance(uint32_t asked, uint32_t applied);

class PosixSerialDevices : public SerialDevices {
 public:
  // reportError receives one line for each failed open: the port, its device and the
  // system's reason. A report identical to the previous one is not repeated.
  // setSpeed is the seam through which tests make a driver apply another rate than asked.
  explicit PosixSerialDevices(std::function<void(const std::string&)> reportError,
                              LineSpeedSetter setSpeed = SetAndReadLineSpeed);

  // From now on portName opens devicePath instead of the system's device for that name; a
  // symbolic link (/dev/serial/by-id/...) is resolved at each open. Reports then name the
  // device rather than the port name.
  void MapPort(const std::string& portName, const std::string& devicePath) override;
  std::string DeviceName(const char* portName) const override;
  // The ports under /sys and /dev (see ListSerialPorts).
  std::string ListPorts() override;

  OpenResult Open(const char* portName, int32_t lineSpeed, int32_t parity,
                  std::unique_ptr<SerialLine>* line) override;

 private:
  std::string PathFor(const char* portName) const;
  void Report(const std::string& line);

  std::function<void(const std::string&)> reportError_;
  LineSpeedSetter setSpeed_;
  std::map<std::string, std::string> mappedPorts_;
  std::string lastReport_;
};

}  // namespace quorel
