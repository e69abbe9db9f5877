#pragma once
// The serial ports of a Linux machine, read from sysfs and /dev/serial/by-id without opening
// any of them: USB adapters with their ids, names and stable links, and the built-in UARTs
// that are really there.
#include <string>
#include <vector>

namespace quorel {

struct SerialPortEntry {
  std::string device;  // the path to pass to --port, for example /dev/ttyUSB0
  std::string byId;    // its /dev/serial/by-id/ link, or empty
  bool usb = false;
  std::string vendorId;  // USB only: four hex digits each
  std::string productId;
  std::string manufacturer;
  std::string product;
  std::string serialNumber;
  std::string driver;  // the kernel driver's name, for ports that are not USB
};

// Lists the ports under sysRoot (normally "/sys") and devRoot (normally "/dev"), sorted by
// device name. Skipped: ttys without a device or without a driver (virtual consoles, ptys) and
// ttyS entries whose UART type is 0 (no UART behind them).
std::vector<SerialPortEntry> ListSerialPorts(const std::string& sysRoot,
                                             const std::string& devRoot);

// One line per port: the device, then what is known of it.
std::string FormatPortList(const std::vector<SerialPortEntry>& ports);

// The devices --port auto asks for the unit, in order: the USB adapters, then the other ports
// (UARTs with hardware behind them), each group in the list's order.
std::vector<std::string> CandidatePorts(const std::vector<SerialPortEntry>& ports);

// This machine's serial ports (Linux: from /sys and /dev).
std::vector<SerialPortEntry> SystemSerialPorts();

}  // namespace quorel
