#pragma once
// Serial ports of Windows through the Win32 communications calls. A port name "COMn" (any n,
// COM10 and above included) opens the device "\\.\COMn". An open line runs at the asked speed,
// 8 data bits, the asked parity, 1 stop bit, raw bytes, no flow control, DTR and RTS off,
// blocking reads and writes without time-outs, and is held exclusively.
#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "os/mapped_devices.h"

namespace quorel {

// The device CreateFileA opens for a port name: "\\.\COMn" for "COM" followed by a number from
// 1 without leading zeros; empty when the name names no port.
std::string Win32DevicePath(const char* portName);

// The port names of the system's serial map (HARDWARE\DEVICEMAP\SERIALCOMM), COM ports first
// in number order (COM2 before COM10).
std::vector<std::string> SerialMapPorts();

// The device-control record for a line speed and a parity (0 none, 1 odd, 2 even; any other
// value counts as none).
DCB LineSettings(int32_t lineSpeed, int32_t parity);

class Win32SerialDevices : public MappedSerialDevices {
 public:
  // reportError receives one line for each failed open (see MappedSerialDevices).
  explicit Win32SerialDevices(std::function<void(const std::string&)> reportError);

  // The machine's serial ports as the system lists them (HARDWARE\DEVICEMAP\SERIALCOMM), one a
  // line; touches no port.
  std::string ListPorts() override;
  // The COM ports of the serial map, in number order.
  std::vector<std::string> PortCandidates() override;

  OpenResult Open(const char* portName, int32_t lineSpeed, int32_t parity,
                  std::unique_ptr<SerialLine>* line) override;

 protected:
  // A port may be mapped to "COMn" of any number, or to a device path such as "\\.\COM12".
  std::string PathFor(const char* portName) const override;
};

}  // namespace quorel
