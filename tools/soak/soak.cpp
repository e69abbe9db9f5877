// Runs one seed of the soak: draws its scenario (soak_scenario.cpp, soak_faults.cpp), runs the
// real driver over the simulated unit on the virtual clock under a watchdog, and has the run
// judged (soak_judge.cpp).
#include "soak/soak.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>

#include "serial/link.h"
#include "common/expected_run.h"
#include "soak/soak_parts.h"
#include "driver/driver.h"
#include "protocol/protocol.h"

namespace quorel::sim {

namespace {

constexpr uint64_t kNsPerSecond = 1000000000;
constexpr uint32_t kSlowestSpeed = 2400;
// After the watchdog has pulled the port, a run still gets this long to wind down before the
// soak gives up on it for good.
constexpr uint64_t kWindDownNs = 3600 * kNsPerSecond;

uint64_t ByteNs(uint64_t bytes) { return bytes * 10 * kNsPerSecond / kSlowestSpeed; }

// What the updater read of the configuration, caught from its buffer at the moments its
// wire traffic marks: the readout is complete when the first "K" goes out (the conversion
// comes after it), and the format check is complete once its read is confirmed, when the
// length of its last block is set again right after a sum query (no "M" before that C).
struct ReadCatcher {
  std::unique_ptr<ConfigReadout> readoutAtK;
  std::unique_ptr<ConfigReadout> formatRead;
  bool formatCheckEnded = false;
  std::string previous[2];

  void Take(const std::string& command, const UpdateState& state) {
    if (command == "K" && !readoutAtK) {
      readoutAtK = std::make_unique<ConfigReadout>(state.facts.configReadout);
      if (!formatRead) formatRead = std::make_unique<ConfigReadout>(state.facts.configReadout);
    }
    if (command == "A0049C0") formatCheckEnded = true;
    if (command == "L000010" && previous[1] == "C" && previous[0] != "M" && formatCheckEnded &&
        !formatRead) {
      formatRead = std::make_unique<ConfigReadout>(state.facts.configReadout);
    }
    previous[0] = previous[1];
    previous[1] = command;
  }
};

// The watchdog: past the bound the port goes away, which every phase notices at once; should
// the run still not end, the soak stops the program with the seed to replay.
void WatchRun(SoakRig& rig, const void* owner, uint64_t start, SoakOutcome& outcome) {
  rig.clock.AddObserver(owner, [&rig, start, &outcome](uint64_t now) {
    if (now - start > outcome.boundNs && !outcome.watchdogFired) {
      outcome.watchdogFired = true;
      rig.devices.LoseAfterBytesWritten(0);
    }
    if (now - start > outcome.boundNs + kWindDownNs) {
      std::fprintf(stderr,
                   "quorel-soak: seed %" PRIu64 " still running after %" PRIu64
                   " s of virtual time; replay with: quorel-soak --seed %" PRIu64 " --verbose\n",
                   outcome.seed, (now - start) / kNsPerSecond, outcome.seed);
      std::abort();
    }
  });
}

// The data blocks the updater sent, every attempt, and how many of them were repeats.
void CountBlocks(const UpdaterTap& tap, SoakOutcome& outcome) {
  for (const UpdaterTap::BlockAttempt& attempt : tap.attempts()) {
    (void)attempt;
    ++outcome.dataBlocksSent;
  }
  std::set<uint32_t> distinct;
  for (const UpdaterTap::BlockAttempt& attempt : tap.attempts())
    distinct.insert(attempt.address);
  outcome.blockRepeats = outcome.dataBlocksSent - distinct.size();
}

}  // namespace

// ---- Bound ----

uint64_t SoakTimeBoundNs() {
  const uint64_t wait = static_cast<uint64_t>(kReplyTries) * kReplyTickMs * kNsPerMs;
  const uint64_t drain = kDrainSettleMs * kNsPerMs;
  const uint64_t attempts = static_cast<uint64_t>(kMaxBlockAttempts);
  // First contact, the burst, the single probe and every step of the ladder, each a probe with
  // its reply wait.
  const uint64_t connect = 30 * (wait + ByteNs(20)) + drain + 8 * ByteNs(7);
  // Eleven greetings of two 2000 ms sleeps and two reply waits, with a drain between.
  const uint64_t greet = 11 * (2 * 2000 * kNsPerMs + 2 * wait + drain + ByteNs(2));
  const uint64_t identify = 1000 * kNsPerMs + wait + ByteNs(15) + ByteNs(7) + wait;
  // A block read waits at most one reply wait per byte (two characters each), then drains and
  // queries; a repeat drains and sets the length first.
  const uint64_t readAttempt = drain + ByteNs(7) + ByteNs(8) +
                               expected::kReadBlock * (wait + ByteNs(2)) + drain + ByteNs(1) +
                               wait + ByteNs(11);
  const uint64_t reads = (expected::kFormatCheckBytes / expected::kReadBlock + 1 +
                          expected::kReadoutBytes / expected::kReadBlock + 1) *
                         attempts * readAttempt;
  const uint64_t writeAttempt =
      drain + 2 * ByteNs(7) + ByteNs(1 + expected::kWriteBlock + 1) + wait;
  const uint64_t writes = expected::kRecords * (expected::kRecordV3 / expected::kWriteBlock + 1) *
                          attempts * writeAttempt;
  const uint64_t finish = 4 * (wait + ByteNs(8)) + ByteNs(8);
  const uint64_t imageAttempt =
      drain + 2 * ByteNs(7) + ByteNs(1 + expected::kImageBlock + 1) + wait;
  uint64_t imageBlocks = 0;
  for (const expected::Range& range :
       {expected::kMainFirst, expected::kMainSecond, expected::kSecondImage}) {
    imageBlocks += (range.end - range.start + expected::kImageBlock - 1) / expected::kImageBlock;
  }
  const uint64_t download = ByteNs(40) + wait + imageBlocks * attempts * imageAttempt;
  const uint64_t flash = ByteNs(40);
  // The check before the flash: the configuration area's 16 sums before the download, then up
  // to three passes that ask for every written block's sum (and the area's again) and may
  // write any of them again.
  const uint64_t configBlocks =
      expected::kRecords * (expected::kRecordV3 / expected::kWriteBlock + 1);
  const uint64_t query = drain + 2 * ByteNs(7) + ByteNs(1) + wait + ByteNs(11);
  const uint64_t verify = (16 + 3 * (16 + imageBlocks + configBlocks)) * attempts * query +
                          3 * (imageBlocks + configBlocks) * imageAttempt;
  return 2 * (connect + greet + identify + reads + writes + finish + download + verify + flash);
}

const char* SoakEndName(SoakEnd end) {
  switch (end) {
    case SoakEnd::kFlashed:
      return "flashed";
    case SoakEnd::kFailed:
      return "failed";
    case SoakEnd::kRefused:
      return "refused";
  }
  return "?";
}

SoakOutcome RunSoakSeed(uint64_t seed, const SoakOptions& options) {
  SoakOutcome outcome;
  outcome.seed = seed;
  outcome.boundNs = SoakTimeBoundNs();
  auto rig = std::make_unique<SoakRig>();
  const SoakDraw drawn = DrawSoakScenario(seed, options, *rig, outcome.scenario, outcome);

  rig->console = ScriptedConsole(outcome.scenario.keys);
  UpdateState state(rig->tap, rig->clock, rig->console, rig->payload);
  ReadCatcher reads;
  rig->tap.SetCommandObserver(
      [&reads, &state](const std::string& command) { reads.Take(command, state); });
  const uint64_t start = rig->clock.NowNs();
  const int watchdogOwner = 0;
  WatchRun(*rig, &watchdogOwner, start, outcome);

  std::vector<const char*> argv = {"quorel-update"};
  for (const std::string& arg : outcome.scenario.args) argv.push_back(arg.c_str());
  outcome.status = RunUpdate(state, static_cast<int>(argv.size()), argv.data());
  outcome.virtualNs = rig->clock.NowNs() - start;
  rig->clock.RemoveObserver(&watchdogOwner);
  // Let everything still on the wire reach the unit, so its memory and transcript are final.
  rig->devices.FinishInFlight();

  outcome.lineFaults = rig->devices.faultCounts();
  CountBlocks(rig->tap, outcome);
  JudgeSoakRun(options, *rig, drawn, state,
               SoakReads{reads.readoutAtK.get(), reads.formatRead.get()}, outcome);
  if (options.keepTexts) {
    outcome.console = rig->console.output();
    outcome.transcript = rig->unit.TranscriptText();
  }
  return outcome;
}

}  // namespace quorel::sim
