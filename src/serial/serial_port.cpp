#include "serial/serial_port.h"

#include <cstring>

namespace quorel {

OpenResult SerialPort::Open(const char* name, int32_t speed, int32_t parityChoice) {
  Close();
  if (name == nullptr) return kOpenNoName;
  // Copied with a limit of 10 bytes: names of up to nine characters keep their terminator.
  size_t length = strnlen(name, sizeof portName);
  std::memset(portName, 0, sizeof portName);
  std::memcpy(portName, name, length);
  lineSpeed = speed;
  parity = parityChoice;
  // The device layer gets a terminated copy.
  char terminated[sizeof portName + 1] = {};
  std::memcpy(terminated, portName, sizeof portName);
  std::unique_ptr<SerialLine> line;
  OpenResult result = devices_.Open(terminated, speed, parityChoice, &line);
  if (result == kOpenOk) handle = std::move(line);
  return result;
}

void SerialPort::Close() {
  if (handle) {
    // A close right after a speed command must not cut the command off in the port's buffer.
    handle->DrainOutput();
    handle.reset();
  }
}

void SerialPort::Write(const uint8_t* data, uint32_t count) {
  if (handle && count > 0) handle->Write(data, count);
}

uint32_t SerialPort::Read(uint8_t* destination, uint32_t count) {
  if (!handle || count == 0) return 0;
  return static_cast<uint32_t>(handle->Read(destination, count));
}

uint32_t SerialPort::BytesPending() {
  if (!handle) return 0;
  return static_cast<uint32_t>(handle->BytesPending());
}

void SerialPort::WaitForInput(uint64_t timeoutNs, Clock& clock) {
  // A closed port gets no input: the wait is simply slept.
  if (handle) {
    handle->WaitForInput(timeoutNs, clock);
  } else {
    clock.SleepNs(timeoutNs);
  }
}

void SerialPort::DrainOutput() {
  if (handle) handle->DrainOutput();
}

void SerialPort::RequestLowLatency() {
  if (handle) handle->RequestLowLatency();
}

}  // namespace quorel
