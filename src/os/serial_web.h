#pragma once
// Serial ports in a web page through the browser's Web Serial. The owner chooses the port in the
// browser's port chooser when pressing Connect, before the run starts (the page keeps it as
// Module.quorelPort); every port name of the run opens that port. An open line runs at the asked
// speed, 8 data bits, no parity, 1 stop bit, no flow control, DTR and RTS off; a speed change
// closes the port and opens it again, as everywhere. Received bytes are read by the browser as
// they come and wait in the page until the program takes them.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "os/mapped_devices.h"

namespace quorel {

class WebSerialDevices : public MappedSerialDevices {
 public:
  // reportError receives one line for each failed open (see MappedSerialDevices).
  explicit WebSerialDevices(std::function<void(const std::string&)> reportError);

  // The browser lists no ports to a page: its chooser names them on Connect.
  std::string ListPorts() override;
  // --port auto asks the one port the owner chose, if any.
  std::vector<std::string> PortCandidates() override;

  // Parity is always none in this program; the browser's port is opened without parity.
  OpenResult Open(const char* portName, int32_t lineSpeed, int32_t parity,
                  std::unique_ptr<SerialLine>* line) override;

 protected:
  // The chosen port as the browser describes it ("USB 0403:6001"), whatever the port name.
  std::string PathFor(const char* portName) const override;
};

}  // namespace quorel
