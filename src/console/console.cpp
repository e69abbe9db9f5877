#include "console/console.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace quorel {

void Print(Console& console, const char* format, ...) {
  char small[512];
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  int length = std::vsnprintf(small, sizeof small, format, args);
  va_end(args);
  if (length < 0) {
    va_end(again);
    return;
  }
  if (static_cast<size_t>(length) < sizeof small) {
    console.Write(small, static_cast<size_t>(length));
  } else {
    std::vector<char> large(static_cast<size_t>(length) + 1);
    std::vsnprintf(large.data(), large.size(), format, again);
    console.Write(large.data(), static_cast<size_t>(length));
  }
  va_end(again);
}

}  // namespace quorel
