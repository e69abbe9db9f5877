#include "platform/platform.h"

#include "console/console_posix.h"
#include "os/serial_posix.h"

namespace quorel {

std::unique_ptr<Console> MakePlatformConsole() { return std::make_unique<TerminalConsole>(); }

std::unique_ptr<SerialDevices> MakePlatformSerialDevices(
    std::function<void(const std::string&)> reportError) {
  return std::make_unique<PosixSerialDevices>(std::move(reportError));
}

const char kPortExample[] = "/dev/ttyUSB0";
const char kPortHelp[] =
    "  --port DEVICE  the serial device the unit is on, for example /dev/ttyUSB0 or a\n"
    "                 /dev/serial/by-id/ link (--list-ports shows them)\n"
    "  --port auto    find the unit: each port --list-ports shows (USB adapters first)\n"
    "                 is sent one E at 9600, and the one that answers Ok is used\n"
    "  -cX            serial port COMX, X from 1 to 4 (/dev/ttyS0 to /dev/ttyS3); default\n";

}  // namespace quorel
