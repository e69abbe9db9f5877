#pragma once
// The program's console on Windows: text to standard output the moment it is written, diagnostics
// to standard error, and single keys without echo and without Enter when standard input is a
// console. Ctrl-C, Ctrl-Break and closing the console window raise the cancellation flag.
#include <cstddef>
#include <string>

#include "console/console.h"

namespace quorel {

class WindowsConsole : public Console {
 public:
  // Installs the console control handler.
  WindowsConsole();
  // Tells a handler waiting on a closed console window that the run is over.
  ~WindowsConsole() override;
  WindowsConsole(const WindowsConsole&) = delete;
  WindowsConsole& operator=(const WindowsConsole&) = delete;

  // All bytes to standard output; after a failure (a closed pipe) later writes are dropped.
  void Write(const char* text, size_t length) override;
  // The line and a line feed to standard error.
  void Error(const std::string& line) override;
  // On a console: one key press, taken as an input event (no echo, no Enter needed on Windows),
  // the console's modes never changed. A cancellation while the key is awaited gives
  // kEndOfInput, as does Ctrl-C arriving as a key (the byte 3, on a console whose processed
  // input is off), which also raises the cancellation flag. Otherwise: one byte; end of input
  // and read errors give kEndOfInput.
  int ReadKey() override;

 private:
  bool outputFailed_ = false;
  bool errorFailed_ = false;
};

}  // namespace quorel
