#pragma once
// Serial ports of a POSIX system (Linux termios). A port name "COM1" to "COM4" stands for the
// device /dev/ttyS0 to /dev/ttyS3, unless MapPort points it elsewhere (--port; the demo and the
// tests point COM1 at a pseudo-terminal). An open line runs raw at the asked speed (within 2 %,
// as the driver's divider allows), 8N1, no flow control, DTR and RTS off, blocking reads and
// writes, and is held exclusively.
#include <functional>
#include <memory>
#include <string>

#include "os/mapped_devices.h"
#include "os/serial_port_list_linux.h"

namespace quorel {

// The device path behind a port name on this system; empty when the name names no port.
std::string DevicePathForPort(const char* portName);

// Sets both directions of the open terminal fd to speed and reads back the rates the driver
// applied. Returns 0, or the errno of the call that failed. Each system has its own (Linux:
// termios2_linux.cpp).
using LineSpeedSetter = std::function<int(int fd, uint32_t speed, uint32_t* appliedOutput,
                                          uint32_t* appliedInput)>;
int SetAndReadLineSpeed(int fd, uint32_t speed, uint32_t* appliedOutput, uint32_t* appliedInput);

// True when a driver's applied rate is within 2 % of the asked one: two UARTs that far apart
// still frame each other's bytes.
bool SpeedWithinTolerance(uint32_t asked, uint32_t applied);

// Lists the machine's serial ports (SystemSerialPorts).
using PortLister = std::function<std::vector<SerialPortEntry>()>;

class PosixSerialDevices : public MappedSerialDevices {
 public:
  // reportError receives one line for each failed open (see MappedSerialDevices).
  // setSpeed is the seam through which tests make a driver apply another rate than asked, and
  // listPorts the one through which they give the machine other ports.
  explicit PosixSerialDevices(std::function<void(const std::string&)> reportError,
                              LineSpeedSetter setSpeed = SetAndReadLineSpeed,
                              PortLister listPorts = SystemSerialPorts);

  // The system's serial ports, one a line (FormatPortList).
  std::string ListPorts() override;
  // The same ports, USB adapters first (CandidatePorts).
  std::vector<std::string> PortCandidates() override;

  OpenResult Open(const char* portName, int32_t lineSpeed, int32_t parity,
                  std::unique_ptr<SerialLine>* line) override;

 protected:
  // A mapped device that is a symbolic link (/dev/serial/by-id/...) is resolved at each open;
  // reports then name the device rather than the port name.
  std::string PathFor(const char* portName) const override;

 private:
  LineSpeedSetter setSpeed_;
  PortLister listPorts_;
};

}  // namespace quorel
