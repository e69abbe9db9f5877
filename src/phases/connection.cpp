// Connection: find the unit's update mode at 9600, move to the wanted speed, step down a fixed
// ladder of slower speeds while the unit does not answer, then greet it.
#include <cstring>
#include <string>

#include "phases/connection.h"
#include "protocol/protocol.h"
#include "serial/link.h"

namespace quorel {

namespace {

constexpr uint32_t kLowestAcceptedSpeed = 2400;
constexpr uint32_t kGreetingWaitMs = 2000;
constexpr int kGreetingRepeats = 10;

// The next step down the speed ladder; below its last step (or off it), a speed under the lowest
// accepted one, which ends the search.
uint32_t NextSlowerSpeed(uint32_t speed) {
  for (size_t step = 0; step + 1 < kSpeedLadderSteps; ++step) {
    if (kSpeedLadder[step] == speed) return kSpeedLadder[step + 1];
  }
  return 1000;
}

void GreetOnce(UpdateState& s) {
  SendCommand(s.link, kCmdGreet);
  SleepMs(s.link.clock, kGreetingWaitMs);
  ReadUnitReply(s.link, kProbeReplyLength);  // not judged
  SendCommand(s.link, kCmdHello);
  SleepMs(s.link.clock, kGreetingWaitMs);
  ReadUnitReply(s.link, kProbeReplyLength);
}

// The unit's reply as it may be shown on a terminal: control and non-ASCII bytes (line noise)
// become dots, so they cannot move the cursor or switch the terminal's modes.
std::string PrintableReply(const char* reply) {
  std::string text(reply);
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) c = '.';
  }
  return text;
}

}  // namespace

void PrintNoUnitAnswered(UpdateState& s) {
  Print(s.console,
        "\nQuorel not in update mode, serial cable not connected,\n"
        "or other sw already using com1. (err1)\n"
        "To put Quorel in update mode press 'menu',0,9,3,1 on remote\n"
        "If it's already in update mode then press 'exit','menu',0,9,3,1");
}

PhaseResult NegotiateConnection(UpdateState& s) {
  OpenSelectedPort(s.link, kFirstContactSpeed);
  if (!SingleProbe(s.link)) {
    if (CancelRequested()) return kInterruptedRun;
    PrintNoUnitAnswered(s);
    return EndRun(kStatusFailed);
  }
  s.link.unitAnswered = true;

  // Always switch, even to 9600: the unit expects the speed command after first contact.
  if (!SendSpeedAndReopen(s.link, s.options.wantedSpeed)) {
    ReportPortSpeedFailure(s, s.link.currentSpeed);
    return EndRun(kStatusFailed);
  }
  BurstProbe(s.link);
  bool answered = SingleProbe(s.link);

  while (!answered && s.link.currentSpeed >= kLowestAcceptedSpeed) {
    if (CancelRequested()) return kInterruptedRun;
    uint32_t next = NextSlowerSpeed(s.link.currentSpeed);
    Print(s.console, "%uk RS232 speed not working trying %uk \n", s.link.currentSpeed, next);
    // The step below the lowest speed ends in the failure path below whatever the port does.
    if (!SendSpeedAndReopen(s.link, next) && s.link.currentSpeed >= kLowestAcceptedSpeed) {
      ReportPortSpeedFailure(s, s.link.currentSpeed);
      return EndRun(kStatusFailed);
    }
    answered = SingleProbe(s.link);
  }

  if (CancelRequested()) return kInterruptedRun;
  if (s.link.currentSpeed < kLowestAcceptedSpeed) {
    Print(s.console, "RS232 communication problem. Update exiting\n");
    return EndRun(kStatusFailed, "Connection cannot be made\n");
  }
  s.facts.negotiatedSpeed = s.link.currentSpeed;
  Print(s.console, "Connected\n");
  return kGoOn;
}

void GreetUnit(UpdateState& s) {
  GreetOnce(s);
  for (int repeat = 0;
       std::strcmp(s.link.replyBuffer, "HOk") != 0 && repeat < kGreetingRepeats && !s.link.port.Lost() &&
       !CancelRequested();
       ++repeat) {
    Print(s.console, "Info: ret %s\n", PrintableReply(s.link.replyBuffer).c_str());
    DrainInput(s.link.port, s.link.clock);
    GreetOnce(s);
    if (CancelRequested()) return;
    Print(s.console, "Retry001:%d\n", repeat);
  }
}

}  // namespace quorel
