#pragma once
// The updater's own console texts that many tests expect, byte for byte.
#include <string>

namespace quorel::testing {

inline const std::string kBanner =
    "\n****************************************\n"
    "* QuorelPro firmware update utility    *\n"
    "****************************************\n"
    "\nUpdater for firmware version 020904\n\n";
inline const std::string kPrompt = "\nPress a key to exit program";
inline const std::string kNotInUpdateMode =
    "\nQuorel not in update mode, serial cable not connected,\n"
    "or other sw already using com1. (err1)\n"
    "To put Quorel in update mode press 'menu',0,9,3,1 on remote\n"
    "If it's already in update mode then press 'exit','menu',0,9,3,1";
inline const std::string kFlashText =
    "\nNow flashing\n"
    "\nDO NOT SHUT OFF UNIT. Wait for unit to turn itself off or"
    "\nrequest you to disconnect and reconnect power."
    "\nAlso, if you've waited over 3 minutes disconnect and reconnect power."
    "\nYou can then turn it back on"
    "\nWhen powered back up you can check sw rev by pressing \"menu\",0,9,0,3\n";

}  // namespace quorel::testing
