// Flash commit: tell the unit to program the verified images, close the port, and tell the
// user how to bring the unit back up.
#include "phases/flash.h"

#include "protocol/protocol.h"
#include "serial/link.h"

namespace quorel {

PhaseResult FlashCommit(UpdateState& s) {
  Print(s.console, "\nNow flashing\n");
  SendCommand(s.link, kMsgFlashing);
  if (CancelRequested()) return kInterruptedRun;
  // From here on the unit is programming its flash and must not be disturbed, not even by X.
  s.link.flashSent = true;
  SendText(kCmdFlash, s.link.port);
  s.link.port.Close();
  Print(s.console, "\nDO NOT SHUT OFF UNIT. Wait for unit to turn itself off or");
  Print(s.console, "\nrequest you to disconnect and reconnect power.");
  Print(s.console, "\nAlso, if you've waited over 3 minutes disconnect and reconnect power.");
  Print(s.console, "\nYou can then turn it back on");
  Print(s.console, "\nWhen powered back up you can check sw rev by pressing \"menu\",0,9,0,3\n");
  return EndRun(kStatusUpdated);
}

}  // namespace quorel
