#pragma once
// The commands of the unit's update mode, as they go on the wire. A command is one byte or a
// short text with no terminator; numbers in it have a fixed width. Everything that sends a
// command to the unit, or models one, names it from here.
#include <cstdint>

namespace quorel {

// One-byte commands.
constexpr uint8_t kCmdProbe = 'E';     // "Ok" from a unit in update mode
constexpr uint8_t kCmdGreet = 'G';
constexpr uint8_t kCmdHello = 'H';
constexpr uint8_t kCmdChecksum = 'C';  // "CS=%8x": the sum of the block at the held address
constexpr uint8_t kCmdLeave = 'X';     // lets the unit go without flashing
constexpr uint8_t kCmdTick = 'T';      // between the two "V0" of the configuration's close

// Text commands with a fixed text.
constexpr char kCmdBlockWrite[] = "D";  // followed by the block's bytes
constexpr char kCmdBlockRead[] = "M";   // the unit answers two hexadecimal digits per byte
// Sent after the configuration readout, after the configuration write-back and after the
// download's first length command.
constexpr char kCmdK[] = "K";
constexpr char kCmdV0[] = "V0";
// The update is confirmed (the same byte as kCmdTick, sent as a text).
constexpr char kCmdConfirmed[] = "T";
// The code region whose sum identifies the unit's firmware: its address and its length.
constexpr char kCmdIdentifyAddress[] = "A008000";
constexpr char kCmdIdentifyLength[] = "L00e000";
// Programs the downloaded images into the flash: the last command of an update.
constexpr char kCmdFlash[] = "F5382";

// Messages for the person at the unit: "J", the text and a line feed.
constexpr char kMsgDownloading[] = "JDOWNLOADING UPDATE\n";
constexpr char kMsgFlashing[] = "JFLASHING DONE IN ABOUT 30 SECS\n";

// Commands with a number: a speed in six decimal digits, an address or a length in six
// hexadecimal digits.
constexpr char kCmdSpeedFormat[] = "B%06u";
constexpr char kCmdAddressFormat[] = "A%06X";
constexpr char kCmdLengthFormat[] = "L%06X";
// The identification's length goes in lower-case hexadecimal, as kCmdIdentifyLength shows it.
constexpr char kCmdLengthLowerHexFormat[] = "L%06x";

}  // namespace quorel
