#pragma once
// Devices that pass every call on to others and let what is built on them watch the traffic:
// each open, each byte the updater writes and reads, each close. The tools that look at a run
// from the outside (the soak's tap, the fuzz target, the benchmark's byte counts) build on it.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "serial/line_decorator.h"

namespace quorel::sim {

class WatchingDevices : public DevicesDecorator {
 public:
  explicit WatchingDevices(SerialDevices& inner) : DevicesDecorator(inner) {}

  // Each hook runs after the call it follows has gone through; lineSpeed is the speed the line
  // was opened at. Every watcher says what it does with each.
  virtual void OnOpen(const char* portName, int32_t lineSpeed, OpenResult result) = 0;
  virtual void OnWrite(const uint8_t* data, size_t count, int32_t lineSpeed) = 0;
  virtual void OnRead(const uint8_t* data, size_t got, int32_t lineSpeed) = 0;
  // The line has been closed (its inner line destroyed).
  virtual void OnClose(int32_t lineSpeed) = 0;

 protected:
  std::unique_ptr<SerialLine> Decorate(const char* portName, int32_t lineSpeed, OpenResult result,
                                       std::unique_ptr<SerialLine> line) final;
};

}  // namespace quorel::sim
