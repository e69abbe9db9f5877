#include "platform/platform.h"

#include "console/console_win32.h"
#include "os/serial_win32.h"

namespace quorel {

std::unique_ptr<Console> MakePlatformConsole() { return std::make_unique<WindowsConsole>(); }

std::unique_ptr<SerialDevices> MakePlatformSerialDevices(
    std::function<void(const std::string&)> reportError) {
  return std::make_unique<Win32SerialDevices>(std::move(reportError));
}

const char kPortExample[] = "COM12";
const char kPortHelp[] =
    "  --port DEVICE  the serial port the unit is on, for example COM12 (any COMn;\n"
    "                 --list-ports shows them)\n"
    "  --port auto    find the unit: each COM port --list-ports shows is sent one E at\n"
    "                 9600, and the one that answers Ok is used\n"
    "  -cX            serial port COMX, X from 1 to 4; default\n";

}  // namespace quorel
