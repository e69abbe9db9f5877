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

// The line of a converting run that has kept the automatic copy of the settings, its path shown
// as "<copy>" (HideCopyPaths).
inline const std::string kCopyKept = "\nCopy of the settings kept in <copy>\n";
// The lines of a run that ends with the settings partly written back, naming its own copy.
inline const std::string kRestoreFromThisRun =
    "The unit's settings are partly written back.\n"
    "To put the settings back, put the unit in update mode again and run this\n"
    "command, with your port option (--port or -cX) added:\n"
    "  copy of this run:\n"
    "    quorel-update --restore-config <copy>\n";

// text with the path after each "kept in " and "--restore-config " shown as "<copy>".
inline std::string HideCopyPaths(std::string text) {
  for (const std::string mark : {"Copy of the settings kept in ", "--restore-config "}) {
    for (size_t at = text.find(mark); at != std::string::npos; at = text.find(mark, at + 1)) {
      const size_t from = at + mark.size();
      text.replace(from, text.find('\n', from) - from, "<copy>");
    }
  }
  return text;
}

}  // namespace quorel::testing
