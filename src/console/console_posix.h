#pragma once
// The program's real console: text to standard output the moment it is written (progress dots
// have no line end), diagnostics to standard error, and single keys from standard input without
// echo and without Enter when it is a terminal.
#include <cstddef>
#include <string>

#include "console/console.h"

namespace quorel {

class TerminalConsole : public Console {
 public:
  // Opens /dev/null on any of descriptors 0, 1 and 2 that is closed (so the serial port never
  // becomes standard input), and installs the interrupt handlers (which also ignore SIGPIPE):
  // Ctrl-C at any moment raises the cancellation flag, and the driver ends the run.
  TerminalConsole();
  TerminalConsole(const TerminalConsole&) = delete;
  TerminalConsole& operator=(const TerminalConsole&) = delete;

  // All bytes to standard output; after a failure (a closed pipe) later writes are dropped.
  void Write(const char* text, size_t length) override;
  // The line and a line feed to standard error.
  void Error(const std::string& line) override;
  // On a terminal: one key, no echo, no Enter needed, Ctrl-C still interrupts; the terminal's
  // settings are back as they were when this returns. Otherwise: one byte. End of input, read
  // errors and a run cut short (CancelRequested) give kEndOfInput.
  int ReadKey() override;

 private:
  bool outputFailed_ = false;
  bool errorFailed_ = false;
};

}  // namespace quorel
