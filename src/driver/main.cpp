// quorel-update: the console firmware updater.
// Usage: quorel-update [--port DEVICE | -cX] [-sX] [--fast] [--trace FILE]; --list-ports, --help,
// --version
#include <memory>
#include <string>

#include "driver/driver.h"
#include "platform/platform.h"
#include "payload/payload.h"

int main(int argc, char** argv) {
  // The console comes first: it installs the handlers that turn Ctrl-C into a cancellation.
  std::unique_ptr<quorel::Console> console = quorel::MakePlatformConsole();
  std::unique_ptr<quorel::SerialDevices> devices = quorel::MakePlatformSerialDevices(
      [&console](const std::string& line) { console->Error(line); });
  return quorel::RunUpdateProgram(*devices, quorel::SystemClock(), *console,
                                  quorel::CompiledPayload(), argc, argv);
}
