#pragma once
// What differs from one operating system to the next, as the driver and the program's entry see
// it: the console, the serial devices, and how help texts name a serial port. One file per
// system implements it (platform_posix.cpp, platform_win32.cpp); nothing above this header
// asks which system it runs on.
#include <functional>
#include <memory>
#include <string>

#include "console/console.h"
#include "os/serial_device.h"

namespace quorel {

// The program's console. Made first: it installs the handlers that turn Ctrl-C into a
// cancellation.
std::unique_ptr<Console> MakePlatformConsole();

// The system's serial devices; reportError receives one line per failed open, for standard error.
std::unique_ptr<SerialDevices> MakePlatformSerialDevices(
    std::function<void(const std::string&)> reportError);

// A serial device as a user of this system would name it ("/dev/ttyUSB0", "COM12").
extern const char kPortExample[];
// The help's lines for --port and -cX, up to the default.
extern const char kPortHelp[];

}  // namespace quorel
