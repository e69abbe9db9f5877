// quorel-update: the console firmware updater. Usage: quorel-update [-cX] [-sX]
#include "payload/payload.h"
#include "update/driver.h"
#ifdef _WIN32
#include "console/console_win32.h"
#include "os/serial_win32.h"
#else
#include "console/terminal_console.h"
#include "os/posix_serial.h"
#endif

namespace {

// The platform's console and serial ports, chosen here and nowhere else.
#ifdef _WIN32
using PlatformConsole = quorel::WindowsConsole;
using PlatformSerialDevices = quorel::Win32SerialDevices;
#else
using PlatformConsole = quorel::TerminalConsole;
using PlatformSerialDevices = quorel::PosixSerialDevices;
#endif

}  // namespace

int main(int argc, char** argv) {
  PlatformConsole console;
  PlatformSerialDevices devices([&console](const std::string& line) { console.Error(line); });
  quorel::UpdateState state(devices, quorel::SystemClock(), console, quorel::CompiledPayload());
  return quorel::RunUpdate(state, argc, argv);
}
