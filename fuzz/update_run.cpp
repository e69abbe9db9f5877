// Fuzzes a whole update in which everything the unit sends is chosen by the fuzzer: the driver
// runs over a serial line whose every look for input takes the next chunk of the fuzz input, on
// the virtual clock, while a scripted console answers the keys. Whatever arrives, the run must
// end within its bound of virtual time, end on the key prompt with a status of the program, and
// send the flash command only when the last attempt of every data block had a parsed checksum
// reply equal to the block's sum, with every block of every range it had to write sent with the
// payload's bytes.
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

#include "console/console.h"
#include "os/serial_device.h"
#include "payload/payload.h"
#include "sim/soak.h"
#include "sim/virtual_clock.h"
#include "driver/driver.h"
#include "protocol/protocol.h"
#include "payload/release_code.h"
#include "protocol/update_state.h"
#include "sim/scripted_console.h"

namespace {

using quorel::sim::UpdaterTap;

constexpr uint32_t kImageBlock = 0x400;
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

 private:
  UnitInput& input_;
  std::deque<uint8_t> pending_;
};

class InputDevices : public quorel::SerialDevices {
 public:
  explicit InputDevices(UnitInput& input) : input_(input) {}
  quorel::OpenResult Open(const char*, int32_t lineSpeed, int32_t,
                          std::unique_ptr<quorel::SerialLine>* line) override {
    if (input_.lost || lineSpeed <= 0) return quorel::kOpenFailed;
    *line = std::make_unique<InputLine>(input_);
    ++opens;
    return quorel::kOpenOk;
  }
  int opens = 0;

 private:
  UnitInput& input_;
};

uint64_t Fnv(const uint8_t* data, size_t length) {
  uint64_t hash = 0xCBF29CE484222325ull;
  for (size_t i = 0; i < length; ++i) hash = (hash ^ data[i]) * 0x100000001B3ull;
  return hash;
}

// Every block of [start, end) must have gone out with the source's bytes and been verified.
void CheckRange(const UpdaterTap& tap, uint32_t start, uint32_t end, const uint8_t* source) {
  const auto& sent = tap.blocksAtFlash();
  for (uint32_t address = start; address < end; address += kImageBlock) {
    const uint32_t length = std::min(kImageBlock, end - address);
    auto found = sent.find(address);
    char where[96];
    std::snprintf(where, sizeof where, "block at %06X", address);
    if (found == sent.end()) Fail(std::string("flashed without sending the ") + where);
    const UpdaterTap::BlockAttempt& attempt = found->second;
    if (attempt.length != length || attempt.hash != Fnv(source + (address - start), length)) {
      Fail(std::string("flashed with other bytes in the ") + where);
    }
  }
}

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
  if (status != 0 && status != 1) Fail("exit status " + std::to_string(status));
  const std::string prompt = "\nPress a key to exit program";
  const std::string& out = console.output();
  if (out.size() < prompt.size() ||
      out.compare(out.size() - prompt.size(), prompt.size(), prompt) != 0) {
    Fail("the console does not end with the key prompt");
  }
  if (state.port.IsOpen()) Fail("the port was left open");
  const std::string& written = tap.written();

  if (!tap.flashSent()) {
    if (out.find("\nNow flashing\n") != std::string::npos) Fail("flashing without F5382");
    if (state.unitAnswered && (written.empty() || written.back() != 'X')) {
      Fail("gave up after the unit answered without sending X last");
    }
    return 0;
  }

  // The flash: every block's last attempt verified, every range complete.
  if (status != 1) Fail("flashed with exit status " + std::to_string(status));
  const std::string tail = "JFLASHING DONE IN ABOUT 30 SECS\nF5382";
  if (written.size() < tail.size() ||
      written.compare(written.size() - tail.size(), tail.size(), tail) != 0) {
    Fail("the flash command was not the last thing sent");
  }
  for (const auto& entry : tap.blocksAtFlash()) {
    const UpdaterTap::BlockAttempt& attempt = entry.second;
    if (!attempt.Verified()) {
      char text[160];
      std::snprintf(text, sizeof text, "flashed after the block at %06X (sum %x) got \"%s\"",
                    attempt.address, attempt.sum, attempt.reply.c_str());
      Fail(text);
    }
  }
  CheckRange(tap, 0, 0x4000, payload.SwImage);
  CheckRange(tap, 0x8000, quorel::kSwImageEnd, payload.SwImage + 0x8000);
  const quorel::ReleaseCode unitCode = payload.releaseTable.code[state.releaseRow];
  const quorel::ReleaseCode threshold =
      payload.productKind == quorel::kBaseModel ? 0x111103 : 0x110503;
  if (quorel::IsOlder(unitCode, threshold)) {
    CheckRange(tap, quorel::kHwImageBase, quorel::kHwImageEnd, payload.HwImage);
  }
  return 0;
}
