#pragma once
// The seam between the updater and whatever carries its bytes: the operating system's serial
// ports (POSIX termios, Win32, the browser's Web Serial) or the simulated unit. SerialPort owns
// at most one open SerialLine at a time and reopens it whenever the line speed changes.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "os/clock.h"

namespace quorel {

// Result of opening a port. The codes are single bits but never combined: the last failing
// step's code is the result.
using OpenResult = uint32_t;
constexpr OpenResult kOpenOk = 0;
constexpr OpenResult kOpenEventMaskFailed = 1;
constexpr OpenResult kOpenTimeoutsFailed = 2;
constexpr OpenResult kOpenLineSettingsFailed = 4;
constexpr OpenResult kOpenFailed = 8;
constexpr OpenResult kOpenNoName = 16;

// One open port at one line speed. Destroying it closes it.
class SerialLine {
 public:
  virtual ~SerialLine() = default;
  // Hands the bytes to the port; failures and short writes are not reported.
  virtual void Write(const uint8_t* data, size_t count) = 0;
  // Reads up to count bytes; callers ask only for bytes that BytesPending reported.
  virtual size_t Read(uint8_t* destination, size_t count) = 0;
  // Received bytes waiting to be read; 0 when the query fails.
  virtual size_t BytesPending() = 0;
  // Blocks until every byte written so far has left the port. A port that buffers writes
  // (a POSIX tty) must drain before a reply wait starts, or the wait runs while the command
  // is still on the wire.
  virtual void DrainOutput() = 0;
  // True once the device has failed for good (unplugged adapter, closed pseudo-terminal).
  virtual bool Lost() const = 0;
  // Returns once received bytes are waiting or timeoutNs has passed on clock, whichever comes
  // first (it may return early, for instance at a signal). A line that cannot block on its
  // input calls WaitForInputByLooking.
  virtual void WaitForInput(uint64_t timeoutNs, Clock& clock) = 0;
  // Asks the device to hand on received bytes without delay (a USB adapter's low-latency
  // mode); best effort, and what was set before comes back when the line closes. A device
  // without such a setting does nothing.
  virtual void RequestLowLatency() = 0;
  // The line speed the driver really applied, which may differ a little from the one asked
  // for; 0 when the device does not say.
  virtual uint32_t AppliedSpeed() const = 0;
};

// Opens lines by port name ("COM1" to "COM4", or a name pointed at another device).
class SerialDevices {
 public:
  virtual ~SerialDevices() = default;
  // From now on portName opens the device the user named (--port): on POSIX any path,
  // symbolic links included.
  virtual void MapPort(const std::string& portName, const std::string& device) = 0;
  // The device that portName opens, as messages and the trace name it.
  virtual std::string DeviceName(const char* portName) const = 0;
  // This machine's serial ports, one a line, for --list-ports. Touches no port.
  virtual std::string ListPorts() = 0;
  // The ports --port auto asks for the unit, in the order it asks them: USB adapters first,
  // then the other ports --list-ports shows. Each is a device MapPort takes. Touches no port.
  virtual std::vector<std::string> PortCandidates() = 0;
  // True when the last Open failed because another program holds the port.
  virtual bool LastOpenInUse() const = 0;
  // On success stores the open line and returns kOpenOk; otherwise leaves *line empty and
  // returns the code of the last step that failed.
  virtual OpenResult Open(const char* portName, int32_t lineSpeed, int32_t parity,
                          std::unique_ptr<SerialLine>* line) = 0;
};

// The wait of a line that cannot block on its input: looks again every millisecond, on clock,
// until input is waiting, the line is lost or timeoutNs has passed.
void WaitForInputByLooking(SerialLine& line, uint64_t timeoutNs, Clock& clock);

}  // namespace quorel
