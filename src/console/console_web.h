#pragma once
// The program's console in a web page: its text goes to the page's console panel exactly as a
// terminal would show it, diagnostics to the page's message line, and a key comes from a key
// press on the page or from its answer buttons.
#include <cstddef>
#include <string>

#include "console/console.h"

namespace quorel {

class PageConsole : public Console {
 public:
  // The bytes, unchanged, to the panel.
  void Write(const char* text, size_t length) override;
  // The line to the page's messages (the terminal program's standard error).
  void Error(const std::string& line) override;
  // Waits for one key pressed on the page or one of its answer buttons while the program asks
  // for it (keys pressed before are not kept). The page's Stop gives kEndOfInput, as a run cut
  // short by Ctrl-C does at a terminal.
  int ReadKey() override;
};

}  // namespace quorel
