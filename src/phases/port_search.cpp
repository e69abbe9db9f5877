// --port auto: one E to each of the machine's serial ports, and the one that answers "Ok".
#include "phases/port_search.h"

#include <string>
#include <vector>

#include "phases/connection.h"
#include "protocol/protocol.h"

namespace quorel {

namespace {

std::string Joined(const std::vector<std::string>& devices) {
  std::string text;
  for (const std::string& device : devices) text += (text.empty() ? "" : ", ") + device;
  return text;
}

}  // namespace

PhaseResult FindUnitPort(UpdateState& s) {
  SerialDevices& devices = s.link.port.devices();
  const std::vector<std::string> candidates = devices.PortCandidates();
  std::vector<std::string> answered;
  std::vector<std::string> asked;
  std::vector<std::string> inUse;
  std::vector<std::string> unopened;
  for (const std::string& device : candidates) {
    if (CancelRequested()) return kInterruptedRun;
    devices.MapPort(s.options.selectedPortName, device);
    if (OpenSelectedPort(s.link, kFirstContactSpeed) != kOpenOk) {
      // Never taken from the program that holds it; the open has said why on standard error.
      (devices.LastOpenInUse() ? inUse : unopened).push_back(device);
      continue;
    }
    asked.push_back(device);
    if (SingleProbe(s.link)) answered.push_back(device);
    s.link.port.Close();
  }
  if (CancelRequested()) return kInterruptedRun;

  if (answered.size() == 1) {
    devices.MapPort(s.options.selectedPortName, answered[0]);
    s.console.Error("quorel-update: --port auto found the unit on " + answered[0]);
    return kGoOn;
  }
  if (answered.size() > 1) {
    Print(s.console, "The unit answered on more than one port (%s): name one with --port DEVICE\n",
          Joined(answered).c_str());
    return EndRun(kStatusFailed);
  }
  std::string line = "quorel-update: --port auto found no unit";
  if (candidates.empty()) {
    line += "; this machine has no serial port to ask";
  } else {
    line += "; asked: " + (asked.empty() ? std::string("none") : Joined(asked));
    if (!inUse.empty()) line += "; skipped, in use by another program: " + Joined(inUse);
    if (!unopened.empty()) line += "; could not be opened: " + Joined(unopened);
  }
  s.console.Error(line);
  PrintNoUnitAnswered(s);
  return EndRun(kStatusFailed);
}

}  // namespace quorel
