// Fuzzes a whole update in which everything the unit sends is chosen by the fuzzer: the driver
// runs over a serial line whose every look for input takes the next chunk of the fuzz input, on
// the virtual clock, while a scripted console answers the keys. Whatever arrives, the run must
// end within its bound of virtual time and show what every finished run shows (sim/expected_run.h:
// a status of the program, the key prompt last, the port closed, X last when it gave up on a
// unit that answered), and send the flash command only when the last attempt of every data
// block had a parsed checksum reply equal to the block's sum, with every block it had to write
// (the records converted from what it read, the image ranges) sent with the right bytes.
//
// Input: byte 0 chooses the command line and the payload (bits 0-2: no speed option, or -s0 to
// -s4 for 1 to 5, and 6 and 7 as none; bit 3: the payload built for the base model), byte 1 is
// the key typed at a question (the key at the end is always 'q'). The rest is the unit's side in
// chunks: whenever the updater looks for input and none is waiting, the next chunk arrives, one
// length byte (taken modulo 64; 0 is a look that finds nothing) and that many bytes. Once the
// input is used up, nothing more arrives. A reopened port loses what was waiting.
//
// With QUOREL_FUZZ_SHOW set in the environment, each run prints its console text and how it
// ended to standard error: for looking at one input, such as a crash the fuzzer saved.
#include <sanitizer/common_interface_defs.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "sim/scripted_console.h"
#include "os/serial_device.h"
#include "payload/payload.h"
#include "common/expected_run.h"
#include "soak/soak.h"
#include "common/updater_tap.h"
#include "sim/virtual_clock.h"
#include "driver/driver.h"
#include "protocol/protocol.h"
#include "run/update_state.h"

namespace {

using quorel::sim::UpdaterTap;
namespace expected = quorel::sim::expected;

constexpr size_t kMaxChunk = 64;

// The message goes out the way the sanitizers report, which stays open when the fuzzer closes
// the target's standard error.
[[noreturn]] void Fail(const std::string& what) {
  __sanitizer_report_error_summary(("update_run: " + what).c_str());
  std::abort();
}

// The unit's side of the line: the fuzz input, chunk by chunk.
struct UnitInput {
  const uint8_t* data = nullptr;
  size_t size = 0;
  size_t at = 0;
  bool lost = false;  // set by the watchdog

  void NextChunk(std::deque<uint8_t>& into) {
    if (at >= size) return;
    size_t length = data[at++] % kMaxChunk;
    for (; length > 0 && at < size; --length) into.push_back(data[at++]);
  }
};

class InputLine : public quorel::SerialLine {
 public:
  explicit InputLine(UnitInput& input) : input_(input) {}
  void Write(const uint8_t*, size_t) override {}
  size_t Read(uint8_t* destination, size_t count) override {
    if (input_.lost) return 0;
    size_t n = 0;
    for (; n < count && !pending_.empty(); ++n) {
      destination[n] = pending_.front();
      pending_.pop_front();
    }
    return n;
  }
  size_t BytesPending() override {
    if (input_.lost) return 0;
    if (pending_.empty()) input_.NextChunk(pending_);
    return pending_.size();
  }
  void DrainOutput() override {}
  bool Lost() const override { return input_.lost; }
  // The input is there at once or never: looking once a millisecond on the virtual clock is
  // as good as blocking.
  void WaitForInput(uint64_t timeoutNs, quorel::Clock& clock) override {
    quorel::WaitForInputByLooking(*this, timeoutNs, clock);
  }
  void RequestLowLatency() override {}
  uint32_t AppliedSpeed() const override { return 0; }

 private:
  UnitInput& input_;
  std::deque<uint8_t> pending_;
};

// The unit's side: opens lines on the fuzz input. The tap that follows the updater's blocks
// wraps it.
class InputDevices : public quorel::SerialDevices {
 public:
  explicit InputDevices(UnitInput& input) : input_(input) {}
  quorel::OpenResult Open(const char*, int32_t lineSpeed, int32_t,
                          std::unique_ptr<quorel::SerialLine>* line) override {
    if (input_.lost || lineSpeed <= 0) return quorel::kOpenFailed;
    *line = std::make_unique<InputLine>(input_);
    return quorel::kOpenOk;
  }
  void MapPort(const std::string&, const std::string&) override {}
  std::string DeviceName(const char* portName) const override { return portName; }
  std::string ListPorts() override { return ""; }
  std::vector<std::string> PortCandidates() override { return {"COM1"}; }
  bool LastOpenInUse() const override { return false; }

 private:
  UnitInput& input_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint8_t options = data[0];
  const std::string keys = std::string(1, static_cast<char>(data[1])) + "q";
  std::vector<std::string> args;
  const int speed = options & 7;
  if (speed >= 1 && speed <= 5) args.push_back("-s" + std::to_string(speed - 1));

  UnitInput input{data + 2, size - 2, 0, false};
  InputDevices devices(input);
  UpdaterTap tap(devices);
  quorel::sim::VirtualClock clock;
  quorel::ScriptedConsole console(keys);
  quorel::FirmwarePayload payload = quorel::CompiledPayload();
  if ((options & 8) != 0) payload.productKind = quorel::kBaseModel;
  quorel::UpdateState state(tap, clock, console, payload);
  // The configuration the run read, caught when its first "K" goes out (the conversion follows).
  std::unique_ptr<quorel::ConfigReadout> readoutAtK;
  tap.SetCommandObserver([&](const std::string& command) {
    if (command == "K" && !readoutAtK) {
      readoutAtK = std::make_unique<quorel::ConfigReadout>(state.facts.configReadout);
    }
  });

  // Past the bound the line goes away, which ends any run at once; one that still goes on is a
  // hang.
  const uint64_t bound = quorel::sim::SoakTimeBoundNs();
  const int watchdog = 0;
  clock.AddObserver(&watchdog, [&](uint64_t now) {
    if (now > bound) input.lost = true;
    if (now > bound + 3600 * 1000 * quorel::kNsPerMs) Fail("the run does not end");
  });

  std::vector<const char*> argv = {"quorel-update"};
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  const int status = quorel::RunUpdate(state, static_cast<int>(argv.size()), argv.data());
  clock.RemoveObserver(&watchdog);

  if (std::getenv("QUOREL_FUZZ_SHOW") != nullptr) {
    std::fprintf(stderr, "%s\n---- status %d, %zu bytes written, %zu block attempts, flash %s\n",
                 console.output().c_str(), status, tap.written().size(), tap.attempts().size(),
                 tap.flashSent() ? "sent" : "not sent");
  }
  if (input.lost) Fail("the run outlasted its bound of virtual time");
  std::vector<std::string> violations;
  expected::FinishedRun finished;
  finished.status = status;
  finished.console = &console.output();
  finished.tap = &tap;
  finished.portOpen = state.link.port.IsOpen();
  finished.unitAnswered = state.link.unitAnswered;
  expected::CheckEnding(finished, &violations);
  if (!violations.empty()) Fail(violations.front());
  if (!tap.flashSent()) return 0;

  // The flash: the conversion an identified unit's release calls for (an unidentified unit's
  // is decided by the fuzzer's replies), and every block the run had to write went out with its
  // bytes and verified, the records worked out again from what the run read.
  const int kind = state.facts.configConversionKind;
  const quorel::ReleaseCode unitRelease =
      payload.releaseTable.code[state.facts.unitUnidentified ? 0 : state.facts.releaseRow];
  if (!state.facts.unitUnidentified &&
      kind != expected::KindForRelease(unitRelease, payload.productKind, payload.releaseCode)) {
    Fail("conversion kind " + std::to_string(kind) + " against the unit's release");
  }
  if (kind != 0 && !readoutAtK) Fail("converted the configuration without reading it");
  const expected::Plan plan =
      expected::PlanRun(payload, unitRelease, kind, kind != 0 ? readoutAtK->data() : nullptr);
  expected::CheckBlocksAtFlash(plan.blocks, tap, &violations);
  if (!violations.empty()) Fail(violations.front());
  return 0;
}
