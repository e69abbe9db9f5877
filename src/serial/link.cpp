#include "serial/link.h"

#include <algorithm>
#include <cstring>

#include "os/cancel.h"

namespace quorel {

void SendText(const char* text, SerialPort& port) {
  port.Write(reinterpret_cast<const uint8_t*>(text), static_cast<uint32_t>(std::strlen(text)));
}

int32_t ReadReply(char* buffer, SerialPort& port, int32_t n, Clock& clock) {
  // The wait is for the unit's reply, so it starts once the command has left the PC.
  port.DrainOutput();
  int tries = 0;
  int32_t pending = static_cast<int32_t>(port.BytesPending());
  // A port that has failed for good will not deliver the rest, and a run cut short by the user
  // wants no reply any more: no point waiting either out.
  while (pending < n && tries < kReplyTries && !port.Lost() && !CancelRequested()) {
    SleepMs(clock, kReplyTickMs);
    ++tries;
    pending = static_cast<int32_t>(port.BytesPending());
  }
  if (pending >= 1 && n >= 1) {
    int32_t count = std::min(pending, n);
    // Those bytes are already waiting, so the read delivers them all; should a failing device
    // deliver fewer, only what it delivered counts.
    uint32_t got = port.Read(reinterpret_cast<uint8_t*>(buffer), static_cast<uint32_t>(count));
    buffer[got] = '\0';
    return static_cast<int32_t>(got);
  }
  buffer[0] = '\0';
  return 0;
}

void DrainInput(SerialPort& port, Clock& clock) {
  port.DrainOutput();
  SleepMs(clock, kDrainSettleMs);
  DiscardPendingInput(port);
}

void DiscardPendingInput(SerialPort& port) {
  uint8_t scratch[80];
  for (;;) {
    uint32_t pending = port.BytesPending();
    if (pending == 0) return;
    uint32_t count = std::min<uint32_t>(pending, sizeof scratch);
    if (port.Read(scratch, count) == 0) return;  // a device that reports input but yields none
  }
}

void SleepMs(Clock& clock, uint32_t ms) {
  if (CancelRequested()) return;  // the run is ending: nothing left to wait for
  clock.SleepNs(static_cast<uint64_t>(ms == 0 ? 1 : ms) * kNsPerMs);
}

}  // namespace quorel
