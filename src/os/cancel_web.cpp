#include "os/cancel_web.h"

#include <emscripten.h>

#include "os/cancel.h"

namespace quorel {
namespace {

EM_JS(int, quorel_web_stop_pressed, (), { return Module.quorelStopped ? 1 : 0; });

}  // namespace

void TakePageStop() {
  if (quorel_web_stop_pressed() != 0) RequestCancel();
}

}  // namespace quorel
