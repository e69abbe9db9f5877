#include "platform/platform.h"

#include "console/console_web.h"
#include "os/serial_web.h"

namespace quorel {

std::unique_ptr<Console> MakePlatformConsole() { return std::make_unique<PageConsole>(); }

std::unique_ptr<SerialDevices> MakePlatformSerialDevices(
    std::function<void(const std::string&)> reportError) {
  return std::make_unique<WebSerialDevices>(std::move(reportError));
}

const char kPortExample[] = "COM1";
const char kPortHelp[] =
    "  -cX            any X from 1 to 4: the port chosen in the browser's port chooser;\n"
    "                 default\n";

}  // namespace quorel
