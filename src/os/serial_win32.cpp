#include "os/serial_win32.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "os/error_text_win32.h"

namespace quorel {
namespace {

const char kReportPrefix[] = "quorel-update: cannot open ";

// The system's message for an error code, and what a refused port usually means.
std::string SystemMessage(DWORD error) {
  std::string message = Win32ErrorText(error);
  if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) {
    message += "; the port may be in use by another program";
  }
  return message;
}

// Errors after which the device will not come back: an unplugged adapter, a closed handle.
bool DeviceGone(DWORD error) {
  return error == ERROR_BAD_COMMAND || error == ERROR_DEVICE_REMOVED ||
         error == ERROR_DEVICE_NOT_CONNECTED || error == ERROR_INVALID_HANDLE ||
         error == ERROR_GEN_FAILURE || error == ERROR_OPERATION_ABORTED;
}

class Win32SerialLine : public SerialLine {
 public:
  explicit Win32SerialLine(HANDLE handle) : handle_(handle) {}
  ~Win32SerialLine() override { CloseHandle(handle_); }
  Win32SerialLine(const Win32SerialLine&) = delete;
  Win32SerialLine& operator=(const Win32SerialLine&) = delete;

  void Write(const uint8_t* data, size_t count) override {
    while (count > 0 && !lost_) {
      const DWORD chunk = count > 0x10000 ? 0x10000 : static_cast<DWORD>(count);
      DWORD written = 0;
      if (!WriteFile(handle_, data, chunk, &written, nullptr)) {
        if (DeviceGone(GetLastError())) lost_ = true;
        return;
      }
      // With every time-out 0 a write blocks until the port took it all; a port that takes
      // nothing is given up on rather than spun on.
      if (written == 0) return;
      writtenSinceDrain_ = true;
      data += written;
      count -= written;
    }
  }

  size_t Read(uint8_t* destination, size_t count) override {
    if (lost_ || count == 0) return 0;
    const DWORD wanted = count > 0x10000 ? 0x10000 : static_cast<DWORD>(count);
    DWORD got = 0;
    if (!ReadFile(handle_, destination, wanted, &got, nullptr)) {
      if (DeviceGone(GetLastError())) lost_ = true;
      return 0;
    }
    return got;
  }

  size_t BytesPending() override {
    if (lost_) return 0;
    // Also clears a pending line-error condition, which would otherwise stop reads.
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(handle_, &errors, &status)) {
      if (DeviceGone(GetLastError())) lost_ = true;
      return 0;
    }
    return status.cbInQue;
  }

  void DrainOutput() override {
    if (lost_ || !writtenSinceDrain_) return;
    writtenSinceDrain_ = false;
    // On a serial port this returns once the driver's output has left the port.
    if (!FlushFileBuffers(handle_) && DeviceGone(GetLastError())) lost_ = true;
  }

  bool Lost() const override { return lost_; }
  // Non-overlapped reads cannot wait for input without blocking past the deadline.
  void WaitForInput(uint64_t timeoutNs, Clock& clock) override {
    WaitForInputByLooking(*this, timeoutNs, clock);
  }
  // The port's receive latency is the driver's own business on Windows.
  void RequestLowLatency() override {}
  // The device-control record takes the rate as asked and does not report another.
  uint32_t AppliedSpeed() const override { return 0; }

 private:
  HANDLE handle_;
  bool lost_ = false;
  bool writtenSinceDrain_ = false;
};

}  // namespace

std::string Win32DevicePath(const char* portName) {
  if (portName == nullptr || std::strncmp(portName, "COM", 3) != 0) return "";
  const char* digits = portName + 3;
  if (digits[0] < '1' || digits[0] > '9') return "";
  for (const char* c = digits; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return "";
  }
  return std::string("\\\\.\\") + portName;
}

DCB LineSettings(int32_t lineSpeed, int32_t parity) {
  DCB settings;
  std::memset(&settings, 0, sizeof settings);
  settings.DCBlength = sizeof settings;
  settings.BaudRate = static_cast<DWORD>(lineSpeed);
  settings.ByteSize = 8;
  const bool checked = parity == 1 || parity == 2;
  settings.Parity = static_cast<BYTE>(parity == 1 ? ODDPARITY : parity == 2 ? EVENPARITY : NOPARITY);
  settings.StopBits = ONESTOPBIT;
  settings.fBinary = 1;
  settings.fParity = checked ? 1 : 0;
  settings.fDtrControl = DTR_CONTROL_DISABLE;
  settings.fRtsControl = RTS_CONTROL_DISABLE;
  // Without flow control these have no effect on the line; they are set all the same.
  settings.XonLim = 2;
  settings.XoffLim = 4;
  settings.XonChar = 0x13;
  settings.XoffChar = 0x19;
  return settings;
}

Win32SerialDevices::Win32SerialDevices(std::function<void(const std::string&)> reportError)
    : MappedSerialDevices(std::move(reportError)) {}

std::string Win32SerialDevices::PathFor(const char* portName) const {
  const std::string* mapped = MappedDevice(portName);
  if (mapped == nullptr) return Win32DevicePath(portName);
  // A device path is opened as given; a COM name through the device namespace.
  if (mapped->rfind("\\\\.\\", 0) == 0) return *mapped;
  return Win32DevicePath(mapped->c_str());
}

std::vector<std::string> SerialMapPorts() {
  HKEY key = nullptr;
  std::vector<std::string> names;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) ==
      ERROR_SUCCESS) {
    for (DWORD index = 0;; ++index) {
      char valueName[256];
      DWORD valueNameLength = sizeof valueName;
      char data[64];
      DWORD dataLength = sizeof data - 1;
      DWORD type = 0;
      const LSTATUS status =
          RegEnumValueA(key, index, valueName, &valueNameLength, nullptr, &type,
                        reinterpret_cast<BYTE*>(data), &dataLength);
      if (status == ERROR_NO_MORE_ITEMS) break;
      if (status != ERROR_SUCCESS || type != REG_SZ) continue;
      data[dataLength] = '\0';
      names.emplace_back(data);
    }
    RegCloseKey(key);
  }
  // COM2 before COM10.
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    const bool aCom = !Win32DevicePath(a.c_str()).empty();
    const bool bCom = !Win32DevicePath(b.c_str()).empty();
    if (aCom && bCom) return std::atoi(a.c_str() + 3) < std::atoi(b.c_str() + 3);
    return aCom != bCom ? aCom : a < b;
  });
  return names;
}

std::string Win32SerialDevices::ListPorts() {
  const std::vector<std::string> names = SerialMapPorts();
  if (names.empty()) {
    return "No serial ports found (a USB-serial adapter shows up here once it is plugged in).\n";
  }
  std::string list;
  for (const std::string& name : names) list += name + "\n";
  return list;
}

std::vector<std::string> Win32SerialDevices::PortCandidates() {
  // The serial map does not say which port sits on USB: its COM ports in number order.
  std::vector<std::string> ports;
  for (const std::string& name : SerialMapPorts()) {
    if (!Win32DevicePath(name.c_str()).empty()) ports.push_back(name);
  }
  return ports;
}

OpenResult Win32SerialDevices::Open(const char* portName, int32_t lineSpeed, int32_t parity,
                                    std::unique_ptr<SerialLine>* line) {
  line->reset();
  if (portName == nullptr) return kOpenNoName;

  const std::string path = PathFor(portName);
  if (path.empty()) {
    const std::string* unknown = MappedDevice(portName);
    Report(kReportPrefix + (unknown != nullptr ? *unknown : std::string(portName)) +
           ": there is no such port");
    return kOpenFailed;
  }
  // A port the user named (--port) is reported by that name.
  const std::string* mapped = MappedDevice(portName);
  const std::string name = mapped != nullptr ? *mapped : std::string(portName);
  const std::string what =
      kReportPrefix + (name == path ? path : name + " (" + path + ")") + ": ";

  DCB settings = LineSettings(lineSpeed, parity);
  // Reading and writing, no sharing, an existing device only, plain blocking mode.
  HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    // A port another program has open refuses every other open with one of these.
    Report(what + SystemMessage(error),
           error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION);
    return kOpenFailed;
  }

  // Every step runs even when an earlier one failed; the last failure decides the result.
  OpenResult result = kOpenOk;
  std::string reason;
  if (!SetCommMask(handle, 0)) {
    result = kOpenEventMaskFailed;
    reason = "cannot set the event mask: " + SystemMessage(GetLastError());
  }
  COMMTIMEOUTS timeouts{};  // all five 0: reads and writes block until done
  if (!SetCommTimeouts(handle, &timeouts)) {
    result = kOpenTimeoutsFailed;
    reason = "cannot set the time-outs: " + SystemMessage(GetLastError());
  }
  if (!SetCommState(handle, &settings)) {
    result = kOpenLineSettingsFailed;
    reason = "the driver refused the line settings (" + std::to_string(lineSpeed) +
             " bit/s): " + SystemMessage(GetLastError());
  }
  if (result != kOpenOk) {
    CloseHandle(handle);
    Report(what + reason);
    return result;
  }
  OpenSucceeded();
  *line = std::make_unique<Win32SerialLine>(handle);
  return kOpenOk;
}

}  // namespace quorel
