#pragma once
// A SerialDevices that passes every call on to another one and lets what is built on it watch
// the traffic: each open, each byte the updater writes and reads, each close. The tools that
// look at a run from the outside (the soak's tap, the fuzz target, the benchmark's byte counts)
// build on it instead of wrapping the port each in their own way.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "os/serial_device.h"

namespace quorel::sim {

class DevicesDecorator : public SerialDevices {
 public:
  explicit DevicesDecorator(SerialDevices& inner) : inner_(inner) {}
  DevicesDecorator(const DevicesDecorator&) = delete;
  DevicesDecorator& operator=(const DevicesDecorator&) = delete;

  OpenResult Open(const char* portName, int32_t lineSpeed, int32_t parity,
                  std::unique_ptr<SerialLine>* line) override;
  void MapPort(const std::string& portName, const std::string& device) override {
    inner_.MapPort(portName, device);
  }
  std::string DeviceName(const char* portName) const override {
    return inner_.DeviceName(portName);
  }
  std::string ListPorts() override { return inner_.ListPorts(); }

 protected:
  SerialDevices& inner() { return inner_; }

  // Each hook runs after the call it follows has gone through; lineSpeed is the speed the
  // line was opened at.
  virtual void OnOpen(const char* /*portName*/, int32_t /*lineSpeed*/, int32_t /*parity*/,
                      OpenResult /*result*/) {}
  virtual void OnWrite(const uint8_t* /*data*/, size_t /*count*/, int32_t /*lineSpeed*/) {}
  virtual void OnRead(const uint8_t* /*data*/, size_t /*got*/, int32_t /*lineSpeed*/) {}
  // The line has been closed (its inner line destroyed).
  virtual void OnClose(int32_t /*lineSpeed*/) {}

 private:
  friend class DecoratedLine;
  SerialDevices& inner_;
};

}  // namespace quorel::sim
