#pragma once
// What the serial devices of every system share: the ports the user pointed elsewhere (--port),
// the device name messages use, and the one report of each failed open. A system's devices
// derive from this and say how a port name becomes a device path there.
#include <functional>
#include <map>
#include <string>

#include "os/serial_device.h"

namespace quorel {

class MappedSerialDevices : public SerialDevices {
 public:
  // reportError receives one line for each failed open: the port, its device and the system's
  // reason. A report identical to the previous one is not repeated.
  explicit MappedSerialDevices(std::function<void(const std::string&)> reportError)
      : reportError_(std::move(reportError)) {}

  // From now on portName opens device instead of the system's device for that name.
  void MapPort(const std::string& portName, const std::string& device) final {
    mappedPorts_[portName] = device;
  }
  // The device path portName opens; the name itself when it names no device.
  std::string DeviceName(const char* portName) const final {
    if (portName == nullptr) return "";
    const std::string path = PathFor(portName);
    return path.empty() ? portName : path;
  }
  bool LastOpenInUse() const final { return lastOpenInUse_; }

 protected:
  // The device the system opens for portName (never null): the one it was mapped to, as the
  // system resolves it, or the system's own device for the name; empty when there is none.
  virtual std::string PathFor(const char* portName) const = 0;
  // The device the user named for portName (never null); null when it was not mapped.
  const std::string* MappedDevice(const char* portName) const {
    auto mapped = mappedPorts_.find(portName);
    return mapped != mappedPorts_.end() ? &mapped->second : nullptr;
  }
  // The speed ladder opens the same port again and again: one report per distinct failure.
  // Every failed open reports once; inUse says that another program holds the port.
  void Report(const std::string& line, bool inUse = false) {
    lastOpenInUse_ = inUse;
    if (line == lastReport_) return;
    lastReport_ = line;
    if (reportError_) reportError_(line);
  }
  // After a successful open the same failure is worth a report again.
  void OpenSucceeded() {
    lastReport_.clear();
    lastOpenInUse_ = false;
  }

 private:
  std::function<void(const std::string&)> reportError_;
  std::map<std::string, std::string> mappedPorts_;
  std::string lastReport_;
  bool lastOpenInUse_ = false;
};

}  // namespace quorel
