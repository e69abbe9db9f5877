#pragma once
// Decorators of the device layer: a line that passes every operation on to the line it wraps,
// and devices that pass every call on to others and hand each line they open to a decorator.
// Whatever watches a run from the side builds on these two: the trace (--trace), and the tools'
// taps and counters. SerialLine and SerialDevices have no default bodies, so this is the one
// place that must name every operation, and the compiler holds it to that: a decorator cannot
// silently drop one (a wait that would fall back to looking every millisecond, a low-latency
// request that would never reach the adapter).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "os/serial_device.h"

namespace quorel {

// Passes every operation on to the wrapped line. A decorator overrides the operations it
// watches and calls on to these.
class LineDecorator : public SerialLine {
 public:
  explicit LineDecorator(std::unique_ptr<SerialLine> inner) : inner_(std::move(inner)) {}
  LineDecorator(const LineDecorator&) = delete;
  LineDecorator& operator=(const LineDecorator&) = delete;

  void Write(const uint8_t* data, size_t count) override { inner_->Write(data, count); }
  size_t Read(uint8_t* destination, size_t count) override {
    return inner_->Read(destination, count);
  }
  size_t BytesPending() override { return inner_->BytesPending(); }
  void DrainOutput() override { inner_->DrainOutput(); }
  bool Lost() const override { return inner_->Lost(); }
  void WaitForInput(uint64_t timeoutNs, Clock& clock) override {
    inner_->WaitForInput(timeoutNs, clock);
  }
  void RequestLowLatency() override { inner_->RequestLowLatency(); }
  uint32_t AppliedSpeed() const override { return inner_->AppliedSpeed(); }

 protected:
  // Closes the wrapped line now, for a decorator that notes the close once it has happened.
  void CloseInner() { inner_.reset(); }

 private:
  std::unique_ptr<SerialLine> inner_;
};

// Passes every call on to other devices; each open, successful or not, goes through Decorate.
class DevicesDecorator : public SerialDevices {
 public:
  explicit DevicesDecorator(SerialDevices& inner) : inner_(inner) {}
  DevicesDecorator(const DevicesDecorator&) = delete;
  DevicesDecorator& operator=(const DevicesDecorator&) = delete;

  OpenResult Open(const char* portName, int32_t lineSpeed, int32_t parity,
                  std::unique_ptr<SerialLine>* line) final;
  void MapPort(const std::string& portName, const std::string& device) override {
    inner_.MapPort(portName, device);
  }
  std::string DeviceName(const char* portName) const override {
    return inner_.DeviceName(portName);
  }
  std::string ListPorts() override { return inner_.ListPorts(); }
  std::vector<std::string> PortCandidates() override { return inner_.PortCandidates(); }
  bool LastOpenInUse() const override { return inner_.LastOpenInUse(); }

 protected:
  SerialDevices& inner() const { return inner_; }
  // Runs once the inner open has gone through, with its result and its line (empty when the
  // open failed); returns the line the caller gets: the one given, or a decorator around it.
  virtual std::unique_ptr<SerialLine> Decorate(const char* portName, int32_t lineSpeed,
                                               OpenResult result,
                                               std::unique_ptr<SerialLine> line) = 0;

 private:
  SerialDevices& inner_;
};

}  // namespace quorel
