#pragma once
// The commands of the unit's update mode and the exchanges built from them: probes, the speed
// switch, the checksum query, and the block read and block write with their verification. The
// exchanges work on the run's UnitLink and print nothing: they return what happened, and the
// phase that called them tells the user.
#include <cstdint>
#include <functional>

#include "os/cancel.h"
#include "protocol/commands.h"
#include "protocol/unit_link.h"

namespace quorel {

// Reply lengths asked of the read primitive.
constexpr int32_t kProbeReplyLength = 20;
constexpr int32_t kChecksumReplyLength = 11;

// How many attempts one block gets before the run gives up on the unit. Generous for a noisy
// line, where a block rarely needs more than two, yet a pulled cable ends the run in seconds
// rather than never.
constexpr int kMaxBlockAttempts = 10;

// Once the user has cut the run short (CancelRequested()), the commands below send nothing and
// the link's waits return at once, so a phase comes quickly to its next look at it and hands the
// run to the driver's exit path.

// Sends a command text, without terminator, or a one-byte command. Returns false, having sent
// nothing, once the run is cut short.
bool SendCommand(UnitLink& link, const char* text);
bool SendCommand(UnitLink& link, uint8_t command);

// Sends E and reads up to 20 characters; true when the reply is exactly "Ok".
bool SingleProbe(UnitLink& link);
// Sends E 20 times back to back, reads 2 characters up to 21 times until "Ok", then drains.
void BurstProbe(UnitLink& link);
// Sends "B%06d" with the new speed at the old one, then closes the port and reopens it at the
// new speed with no wait between. Does not probe. Notes the new speed as currentSpeed, the one
// place that changes it, before anything goes out. When the
// reopen fails it is tried once more after 100 ms; false when that fails too (the port is then
// closed, and the unit waits at the new speed). A run cut short keeps its port as it is and
// counts as reopened: the caller's next step notices the cut.
bool SendSpeedAndReopen(UnitLink& link, uint32_t speed);
// Reopens the run's port at the given speed with parity 0.
OpenResult OpenSelectedPort(UnitLink& link, uint32_t speed);
void SendAddress(UnitLink& link, uint32_t address);  // "A%06X"
void SendLength(UnitLink& link, uint32_t length);    // "L%06X"; notes it as the unit's length
// The same length command in lower-case digits ("L%06x"), as the identification sends it.
void SendLengthLowerHex(UnitLink& link, uint32_t length);

// Reads a reply of up to n characters into replyBuffer at the link's pace.
int32_t ReadUnitReply(UnitLink& link, int32_t n);

// Parses a "CS=%8x" reply: "CS=" and one to eight hexadecimal digits. Leaves *value as it was
// and returns false when the text does not have that form.
bool ParseChecksumReply(const char* text, uint32_t* value);
// Parses one "M" pair: up to two leading hexadecimal digits. False (value untouched) for none.
bool ParseHexPair(const char* text, uint8_t* value);

// Sends C, waits waitMs (0: none beyond the read's own), reads 11 characters and parses them
// into *value; true when the reply parsed.
bool QueryChecksum(UnitLink& link, uint32_t* value, uint32_t waitMs = 0);

// Lets go of the unit at the end of a run. When it has answered and has not been told to flash:
// completes a data block cut short with filler bytes (the unit would otherwise take the X for
// data) and sends X. Then closes the port. Works also after the run was cut short.
void LeaveUpdateMode(UnitLink& link);

// The byte sum of a block, as the unit reports it.
uint32_t BlockChecksum(const uint8_t* data, uint32_t length);

// One attempt of a block write: "A%06X", "D", beforeData (where a phase prints its repeat
// mark), the bytes one at a time, then the checksum query into *reply. True when a reply
// parsed and equals the sum of the bytes sent: an unanswered block is never a verified block.
// A run cut short stops between two bytes and leaves the rest owed in blockBytesOwed.
bool WriteBlockAttempt(UnitLink& link, uint32_t address, const uint8_t* data, uint32_t length,
                       uint32_t* reply, const std::function<void()>& beforeData);

// One attempt of a block read: "A%06X", "M", beforeData, one two-character pair per byte into
// destination, a drain, then the checksum query into *reported. True when a reply parsed and
// equals the sum of the bytes received.
bool ReadBlockAttempt(UnitLink& link, uint32_t address, uint8_t* destination, uint32_t length,
                      uint32_t* reported, const std::function<void()>& beforeData);

// Runs attempt(n) for n = 0, 1, ... until one verifies or kMaxBlockAttempts were made. Every
// repeat (never the first attempt) starts by resynchronising with the unit: an input drain, so a
// stray or late byte cannot shift the replies of every later exchange, and the block's length
// again, since a block whose "D" was lost on the line reaches the unit as commands and may have
// changed the length it holds. A block that verifies at once costs neither. False when the
// bound was reached, the port failed for good or the run was cut short.
bool RepeatUntilVerified(UnitLink& link, uint32_t length,
                         const std::function<bool(int attempt)>& attempt);

}  // namespace quorel
