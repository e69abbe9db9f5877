#pragma once
// A record of one run for support (--trace FILE): every open of the port (device, asked and
// applied speed, result), every byte out and in, every wait and output drain with its
// duration, and the console's text, one line each, behind a first column of milliseconds since
// the program started. It is taken by decorators around the device layer, the clock and the
// console, so the code of the run knows nothing of it.
//
// Each line is one write to the file and nothing is synced, so tracing adds no wait; a run that
// dies leaves its trace up to that point. Lines recorded before the options are read (the
// banner) are held until Open or Discard.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "console/console.h"
#include "os/clock.h"
#include "os/serial_device.h"
#include "serial/line_decorator.h"

namespace quorel {

class TraceLog {
 public:
  explicit TraceLog(Clock& clock);
  ~TraceLog();
  TraceLog(const TraceLog&) = delete;
  TraceLog& operator=(const TraceLog&) = delete;

  // Creates (or empties) the file and writes the lines held so far. False, with the system's
  // reason in *error, when the file cannot be written.
  bool Open(const std::string& path, std::string* error);
  // No trace for this run: drops the held lines and records nothing more.
  void Discard();
  bool recording() const { return holding_ || file_ != nullptr; }

  // Consecutive bytes of one direction, and consecutive waits, make one line: a command, a
  // reply, a reply wait. Anything else ends the line.
  void Out(const uint8_t* data, size_t count);
  void In(const uint8_t* data, size_t count);
  void Wait(uint64_t ns);
  // A line of its own: kind is a short word ("open", "drain", "con", ...).
  void Line(const char* kind, const std::string& text);

 private:
  enum class Pending { kNone, kOut, kIn, kWait };
  void Begin(Pending kind);
  void FlushPending();
  void Emit(uint64_t ms, const char* kind, const std::string& text);
  uint64_t NowMs();

  Clock& clock_;
  uint64_t startNs_;
  std::FILE* file_ = nullptr;
  bool holding_ = true;
  std::vector<std::string> held_;
  Pending pending_ = Pending::kNone;
  uint64_t pendingMs_ = 0;
  std::string pendingBytes_;
  uint64_t pendingWaitNs_ = 0;
};

// The device layer with every open, byte, drain and close recorded.
class TracingDevices : public DevicesDecorator {
 public:
  TracingDevices(SerialDevices& inner, TraceLog& log, Clock& clock)
      : DevicesDecorator(inner), log_(log), clock_(clock) {}

 protected:
  std::unique_ptr<SerialLine> Decorate(const char* portName, int32_t lineSpeed, OpenResult result,
                                       std::unique_ptr<SerialLine> line) override;

 private:
  TraceLog& log_;
  Clock& clock_;
};

// The clock with every sleep recorded.
class TracingClock : public Clock {
 public:
  TracingClock(Clock& inner, TraceLog& log) : inner_(inner), log_(log) {}
  uint64_t NowNs() override { return inner_.NowNs(); }
  void SleepNs(uint64_t ns) override {
    log_.Wait(ns);
    inner_.SleepNs(ns);
  }

 private:
  Clock& inner_;
  TraceLog& log_;
};

// The console with its text, diagnostics and keys recorded.
class TracingConsole : public Console {
 public:
  TracingConsole(Console& inner, TraceLog& log) : inner_(inner), log_(log) {}
  void Write(const char* text, size_t length) override;
  void Error(const std::string& line) override;
  int ReadKey() override;

 private:
  Console& inner_;
  TraceLog& log_;
};

}  // namespace quorel
