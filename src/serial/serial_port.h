#pragma once
// The one port object through which the updater reaches the unit: opens a named port with fixed
// line settings at a chosen speed, writes, reads, reports waiting input, closes. Every operation
// on a closed port is harmless: writes do nothing, reads and BytesPending give 0.
#include <cstdint>
#include <memory>

#include "os/clock.h"
#include "os/serial_device.h"

namespace quorel {

class SerialPort {
 public:
  explicit SerialPort(SerialDevices& devices) : devices_(devices) {}
  ~SerialPort() { Close(); }
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  // Closes any open handle, then opens and configures the named port. A null name gives
  // kOpenNoName and leaves the port closed.
  OpenResult Open(const char* name, int32_t speed, int32_t parity);
  // Lets the output drain, then closes. Leaves the port closed in every case.
  void Close();
  void Write(const uint8_t* data, uint32_t count);
  uint32_t Read(uint8_t* destination, uint32_t count);
  uint32_t BytesPending();
  void SendByte(uint8_t byte) { Write(&byte, 1); }
  // Returns once input is waiting or timeoutNs has passed on clock.
  void WaitForInput(uint64_t timeoutNs, Clock& clock);
  // Waits until everything written has left the port (no-op when closed).
  void DrainOutput();
  // Asks the open line for low latency (best effort; no-op when closed).
  void RequestLowLatency();

  // The device layer behind the port (to name a device, list the machine's ports).
  SerialDevices& devices() { return devices_; }

  bool IsOpen() const { return handle != nullptr; }
  // True when the open device has failed for good (for instance an unplugged adapter).
  bool Lost() const { return handle != nullptr && handle->Lost(); }

  char portName[10] = {};
  int32_t lineSpeed = 0;
  int32_t parity = 0;
  std::unique_ptr<SerialLine> handle;

 private:
  SerialDevices& devices_;
};

}  // namespace quorel
