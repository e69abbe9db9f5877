#include "sim/sim_session.h"

#include "driver/driver.h"

namespace quorel::sim {

UpdateState& SimSession::NewState() {
  state.reset();  // closes the port of an earlier state first
  state = std::make_unique<UpdateState>(devices, clock, console, payload);
  return *state;
}

int SimSession::Run(std::vector<std::string> args, std::string keys) {
  state.reset();
  console = ScriptedConsole(std::move(keys));
  UpdateState& s = NewState();
  std::vector<const char*> argv;
  argv.push_back("quorel-update");
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  int status = RunUpdate(s, static_cast<int>(argv.size()), argv.data());
  devices.Settle();
  return status;
}

}  // namespace quorel::sim
