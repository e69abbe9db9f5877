// quorel-update: the console firmware updater.
// Usage: quorel-update [--port DEVICE | -cX] [-sX] [--fast] [--trace FILE]; --list-ports, --help,
// --version
// The one place that picks the platform's console, serial ports and clock; everything from the
// driver down is the same on every platform.
#include "driver/driver.h"
#include "payload/payload.h"

#if defined(_WIN32)
#include "console/console_win32.h"
#include "os/serial_win32.h"
namespace {
using PlatformConsole = quorel::WindowsConsole;
using PlatformSerialDevices = quorel::Win32SerialDevices;
}  // namespace
#else
#include "console/console_posix.h"
#include "os/serial_posix.h"
namespace {
using PlatformConsole = quorel::TerminalConsole;
using PlatformSerialDevices = quorel::PosixSerialDevices;
}  // namespace
#endif

int main(int argc, char** argv) {
  // The console comes first: it installs the handlers that turn Ctrl-C into a cancellation.
  PlatformConsole console;
  PlatformSerialDevices devices([&console](const std::string& line) { console.Error(line); });
  return quorel::RunUpdateProgram(devices, quorel::SystemClock(), console,
                                  quorel::CompiledPayload(), argc, argv);
}
