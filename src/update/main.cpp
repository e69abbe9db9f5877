// quorel-update: the console firmware updater.
// Usage: quorel-update [--port DEVICE | -cX] [-sX] [--trace FILE]; --list-ports, --help, --version
#include "console/terminal_console.h"
#include "os/posix_serial.h"
#include "payload/payload.h"
#include "update/driver.h"

int main(int argc, char** argv) {
  quorel::TerminalConsole console;
  quorel::PosixSerialDevices devices([&console](const std::string& line) { console.Error(line); });
  return quorel::RunUpdateProgram(devices, quorel::SystemClock(), console,
                                  quorel::CompiledPayload(), argc, argv);
}
