#include "console/console_web.h"

#include <emscripten.h>

#include "os/cancel.h"
#include "os/cancel_web.h"

namespace quorel {
namespace {

EM_JS(void, quorel_web_print, (const char* text, size_t length), {
  Module.quorelPrint(HEAPU8.slice(text, text + length));
});

EM_JS(void, quorel_web_error, (const char* line), { Module.quorelError(UTF8ToString(line)); });

// The next key the page hands over while the program waits for one; -1 when Stop ends the wait.
EM_ASYNC_JS(int, quorel_web_read_key, (), {
  Module.quorelKeys.length = 0;
  Module.quorelKeyWanted(true);
  await Module.quorelWait(Infinity, () => Module.quorelKeys.length > 0, true);
  Module.quorelKeyWanted(false);
  if (Module.quorelKeys.length === 0) return -1;
  return Module.quorelKeys.shift();
});

}  // namespace

void PageConsole::Write(const char* text, size_t length) { quorel_web_print(text, length); }

void PageConsole::Error(const std::string& line) { quorel_web_error(line.c_str()); }

int PageConsole::ReadKey() {
  TakePageStop();
  if (CancelRequested()) return kEndOfInput;
  const int key = quorel_web_read_key();
  TakePageStop();
  if (CancelRequested() || key < 0) return kEndOfInput;
  return key & 0xFF;
}

}  // namespace quorel
