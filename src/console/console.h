#pragma once
// Console I/O of the updater: text to standard output, shown the moment it is printed, and
// single key presses read without echo.
#include <cstddef>
#include <string>

#include "base/printf_format.h"

namespace quorel {

class Console {
 public:
  static constexpr int kEndOfInput = -1;

  virtual ~Console() = default;
  // Writes text to standard output and flushes it.
  virtual void Write(const char* text, size_t length) = 0;
  // One line to standard error (diagnostics about the PC side, never the unit's messages).
  virtual void Error(const std::string& line) = 0;
  // Waits for one key and returns it (0..255), or kEndOfInput when the input is closed.
  virtual int ReadKey() = 0;
};

// Formatted output through a Console, printf-style.
void Print(Console& console, const char* format, ...) QUOREL_PRINTF_FORMAT(2, 3);

}  // namespace quorel
