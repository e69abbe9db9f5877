#pragma once
// The primitives every phase uses to talk to the unit: send a command text, read a short reply
// with a bounded wait, throw away pending input, sleep. All waiting goes through the Clock, and
// none of it goes on once the run has been cut short (os/cancel.h).
#include <cstdint>

#include "os/clock.h"
#include "serial/serial_port.h"

namespace quorel {

// Reply waits: up to kReplyTries checks, kReplyTickMs apart.
constexpr int kReplyTries = 8;
constexpr uint32_t kReplyTickMs = 40;
constexpr uint32_t kDrainSettleMs = 100;

// Writes the characters of text, without its terminating NUL, in one write.
void SendText(const char* text, SerialPort& port);

// Waits (after the output has left the port) up to 8 x 40 ms for n characters, reads what is
// there, at most n, and NUL-terminates it in buffer (which holds n + 1). Returns the count read.
int32_t ReadReply(char* buffer, SerialPort& port, int32_t n, Clock& clock);

// Sleeps 100 ms, then reads and discards input until a check finds none waiting.
void DrainInput(SerialPort& port, Clock& clock);

// Reads and discards whatever input is waiting now, without waiting for more.
void DiscardPendingInput(SerialPort& port);

// Sleeps the given milliseconds; 0 sleeps 1 ms.
void SleepMs(Clock& clock, uint32_t ms);

}  // namespace quorel
