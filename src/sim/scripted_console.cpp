#include "sim/scripted_console.h"

namespace quorel {

int ScriptedConsole::ReadKey() {
  ++keysRead_;
  if (next_ >= keys_.size()) return kEndOfInput;
  return static_cast<unsigned char>(keys_[next_++]);
}

}  // namespace quorel
