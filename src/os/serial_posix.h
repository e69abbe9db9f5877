#pragma once
// Serial ports of a POSIX system (Linux termios). A port name "COM1" to "COM4" stands for the
// device /dev/ttyS0 to /dev/ttyS3, unless MapPort points it elsewhere (the demo and the tests
// point COM1 at a pseudo-terminal). An open line runs raw at exactly the asked speed, 8N1, no
// flow control, DTR and RTS off, blocking reads and writes, and is held exclusively.
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "os/serial_device.h"

namespace quorel {

// The device path behind a port name on this system; empty when the name names no port.
std::string DevicePathForPort(const char* portName);

class PosixSerialDevices : public SerialDevices {
 public:
  // reportError receives one line for each failed open: the port, its device and the
  // system's reason. A report identical to the previous one is not repeated.
  explicit PosixSerialDevices(std::function<void(const std::string&)> reportError);

  // From now on portName opens devicePath instead of the system's device for that name.
  void MapPort(const std::string& portName, const std::string& devicePath);

  OpenResult Open(const char* portName, int32_t lineSpeed, int32_t parity,
                  std::unique_ptr<SerialLine>* line) override;

 private:
  std::string PathFor(const char* portName) const;
  void Report(const std::string& line);

  std::function<void(const std::string&)> reportError_;
  std::map<std::string, std::string> mappedPorts_;
  std::string lastReport_;
};

}  // namespace quorel
