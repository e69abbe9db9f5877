// quorel-demo: a whole update of a simulated unit, on this machine, with nothing attached. The
// unit is served on a pseudo-terminal in a background thread, and the updater's own driver runs
// over it exactly as the shipped program does: the real console, the real clock and the POSIX
// serial port layer, given the pseudo-terminal with --port. Afterwards it checks what the unit
// ended up with, and exits 0 when the run ended the way its scenario should (flashed, refused,
// declined, gave up), 1 when it did not.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "common/copies_aside.h"
#include "console/console_posix.h"
#include "os/clock.h"
#include "os/serial_posix.h"
#include "payload/payload.h"
#include "common/expected_run.h"
#include "sim/pty_unit_server.h"
#include "sim/simulated_unit.h"
#include "sim/unit_profile.h"
#include "driver/driver.h"
#include "run/update_state.h"

namespace {

using quorel::sim::ChecksumFault;
using quorel::sim::ChecksumFaultKind;
using quorel::sim::SimulatedUnit;

constexpr int kExitAsExpected = 0;
constexpr int kExitUnexpected = 1;
constexpr int kExitUsage = 2;
constexpr int kExitFailed = 3;

// How a scenario's run should end.
enum class Ending {
  kFlashed,   // status 1, the unit flashed with the payload
  kRefused,   // status 1, not flashed, told to leave update mode
  kDeclined,  // the same, after the (y/n) question; flashed too when the user answers y
  kGaveUp,    // status 0, not flashed, told to leave update mode
};

struct Scenario {
  const char* name;
  const char* description;  // what is simulated, for the header line and --list
  std::function<void(SimulatedUnit&, const quorel::FirmwarePayload&)> setUp;
  Ending ending;
};

const char* EndingText(Ending ending) {
  switch (ending) {
    case Ending::kFlashed: return "flashed";
    case Ending::kRefused: return "refused (unit of the other model)";
    case Ending::kDeclined: return "declined at the (y/n) question (or flashed after y)";
    case Ending::kGaveUp: return "gave up on a unit that stopped answering";
  }
  return "";
}

// A unit of the given model and release, with records in the layout that release stores.
void PutUnitOn(SimulatedUnit& unit, const quorel::FirmwarePayload& payload,
               quorel::ProductKind kind, quorel::ReleaseCode code) {
  uint32_t checksum = 0;
  quorel::sim::ChecksumOfRelease(payload, kind, code, &checksum);
  unit.WriteConfigRecords(quorel::sim::RecordSizeOfRelease(kind, code), 1, true);
  // After the records, which in the largest layout reach into the code region.
  unit.SetCodeRegionChecksum(checksum);
}

const std::vector<Scenario>& Scenarios() {
  static const std::vector<Scenario> scenarios = {
      {"old-pro",
       "a QuorelPro unit on release 042303 whose configuration records are in the oldest layout "
       "(read out, converted, written back, then both images and the flash)",
       [](SimulatedUnit& unit, const quorel::FirmwarePayload& payload) {
         PutUnitOn(unit, payload, quorel::kProModel, 0x042303);
       },
       Ending::kFlashed},
      {"4800-only",
       "a QuorelPro unit on release 110503 that answers at 9600 for first contact, then only "
       "at 4800 (the updater steps down its speed ladder)",
       [](SimulatedUnit& unit, const quorel::FirmwarePayload& payload) {
         PutUnitOn(unit, payload, quorel::kProModel, 0x110503);
         unit.faults().silentSpeeds = {28800, 14400, 9600};
         unit.faults().silentSpeedsAfterSpeedCommands = 1;
       },
       Ending::kFlashed},
      {"flaky",
       "a QuorelPro unit on release 110503 on a poor line: a few wrong and missing checksum "
       "replies and a stray byte (blocks are repeated)",
       [](SimulatedUnit& unit, const quorel::FirmwarePayload& payload) {
         PutUnitOn(unit, payload, quorel::kProModel, 0x110503);
         auto& faults = unit.faults();
         faults.checksumFaults[{0x000400, 0}] = ChecksumFault{ChecksumFaultKind::kWrong, 0};
         faults.checksumFaults[{0x008400, 0}] = ChecksumFault{ChecksumFaultKind::kMissing, 0};
         faults.checksumFaults[{0x010000, 0}] = ChecksumFault{ChecksumFaultKind::kWrong, 0};
         faults.checksumFaults[{0x010000, 1}] = ChecksumFault{ChecksumFaultKind::kWrong, 0};
         faults.strayBeforeChecksum[{0x00C000, 0}] = "\r";
       },
       Ending::kFlashed},
      {"base",
       "a Quorel (base model) unit on release 091103: this updater carries QuorelPro firmware, "
       "so it refuses the unit",
       [](SimulatedUnit& unit, const quorel::FirmwarePayload& payload) {
         PutUnitOn(unit, payload, quorel::kBaseModel, 0x091103);
       },
       Ending::kRefused},
      {"unknown",
       "a unit whose firmware is in no row of the release table (the updater asks y/n; without "
       "terminal input that declines) with configuration records in the middle layout",
       [](SimulatedUnit& unit, const quorel::FirmwarePayload& payload) {
         unit.WriteConfigRecords(quorel::sim::layout::kRecordV2, 1, true);
         unit.SetCodeRegionChecksum(quorel::sim::UnknownChecksum(payload));
       },
       Ending::kDeclined},
      {"current", "a QuorelPro unit on release 110503: no configuration work and no second image",
       [](SimulatedUnit& unit, const quorel::FirmwarePayload& payload) {
         PutUnitOn(unit, payload, quorel::kProModel, 0x110503);
       },
       Ending::kFlashed},
      {"dead",
       "a QuorelPro unit on release 110503 that goes silent for good in the middle of the "
       "download",
       [](SimulatedUnit& unit, const quorel::FirmwarePayload& payload) {
         PutUnitOn(unit, payload, quorel::kProModel, 0x110503);
         unit.faults().silentAfterBlocks = 40;
       },
       Ending::kGaveUp},
  };
  return scenarios;
}

const char kUsage[] =
    "Usage: quorel-demo [--scenario NAME] [--pace] [--list] [-- UPDATER-OPTION...]\n"
    "Runs a whole update of a simulated unit served on a pseudo-terminal, through the same\n"
    "driver, console and serial layer as quorel-update, then checks the unit's memory.\n"
    "\n"
    "  --scenario NAME   the unit to simulate (default old-pro; --list shows them all)\n"
    "  --pace            real line timing (much slower: every byte takes its 10 bit times)\n"
    "  --list            the scenarios, one a line\n"
    "  --help            this text\n"
    "Options after -- go to the updater (for example -- -s1 for 14400 bit/s).\n"
    "\n"
    "Exit status: 0 when the run ended as the scenario should (--list says how), 1 when it\n"
    "did not, 2 for bad options, 3 when the pseudo-terminal cannot be created.\n";

const Scenario* FindScenario(const std::string& name) {
  for (const Scenario& scenario : Scenarios()) {
    if (name == scenario.name) return &scenario;
  }
  return nullptr;
}

// The blocks the download sends, for both images.
std::vector<quorel::sim::expected::Block> DownloadBlocks(const quorel::FirmwarePayload& payload) {
  namespace expected = quorel::sim::expected;
  std::vector<expected::Block> blocks =
      expected::RangeBlocks(expected::kMainFirst, payload.SwImage);
  for (const auto& block : expected::RangeBlocks(expected::kMainSecond,
                                                 payload.SwImage + expected::kMainSecond.start)) {
    blocks.push_back(block);
  }
  for (const auto& block : expected::RangeBlocks(expected::kSecondImage, payload.HwImage)) {
    blocks.push_back(block);
  }
  return blocks;
}

// What the unit ended up with, on standard output.
void PrintSummary(const SimulatedUnit& unit, const quorel::FirmwarePayload& payload) {
  size_t written = 0;
  size_t matching = 0;
  for (const auto& block : DownloadBlocks(payload)) {
    if (unit.stats().dataBlocksAt.count(block.address) == 0) continue;
    ++written;
    if (std::memcmp(unit.memory().data() + block.address, block.data, block.length) == 0) {
      ++matching;
    }
  }
  std::printf("\n\n--- quorel-demo: what the simulated unit ended up with ---\n");
  if (written == 0) {
    std::printf("unit memory matches the payload over the ranges written: nothing was written\n");
  } else {
    std::printf(
        "unit memory matches the payload over the ranges written: %s (%zu of %zu image "
        "blocks written match)\n",
        matching == written ? "yes" : "no", matching, written);
  }
  std::printf("flashed: %s\n", unit.flashed() ? "yes" : "no");
  std::printf("transcript: %zu commands taken by the unit%s\n", unit.transcript().size(),
              unit.leftUpdateMode() ? ", the last one X (leave update mode)" : "");
}

// Whether the run ended as the scenario says: the updater's status and the unit's state.
bool EndedAsExpected(Ending ending, int status, const SimulatedUnit& unit,
                     const quorel::FirmwarePayload& payload) {
  const bool told = unit.leftUpdateMode() && !unit.flashed();
  bool imagesMatch = true;
  for (const auto& block : DownloadBlocks(payload)) {
    if (unit.stats().dataBlocksAt.count(block.address) != 0 &&
        std::memcmp(unit.memory().data() + block.address, block.data, block.length) != 0) {
      imagesMatch = false;
    }
  }
  const bool flashed = status == 1 && unit.flashed() && imagesMatch;
  switch (ending) {
    case Ending::kFlashed: return flashed;
    case Ending::kRefused: return status == 1 && told;
    case Ending::kDeclined: return (status == 1 && told) || flashed;
    case Ending::kGaveUp: return status == 0 && told;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  quorel::sim::KeepSettingsCopiesAside();
  std::string scenarioName = "old-pro";
  bool pace = false;
  std::vector<std::string> updaterArgs = {"quorel-update"};
  std::vector<std::string> extraArgs;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") {
      for (++i; i < argc; ++i) extraArgs.push_back(argv[i]);
      break;
    }
    if (arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "--list") {
      for (const Scenario& scenario : Scenarios()) {
        std::printf("%-10s %s; ends: %s\n", scenario.name, scenario.description,
                    EndingText(scenario.ending));
      }
      return 0;
    }
    if (arg == "--pace") {
      pace = true;
    } else if (arg == "--scenario" || arg.rfind("--scenario=", 0) == 0) {
      if (arg == "--scenario") {
        if (i + 1 >= argc) {
          std::fprintf(stderr, "quorel-demo: --scenario needs a name (see --list)\n");
          return kExitUsage;
        }
        scenarioName = argv[++i];
      } else {
        scenarioName = arg.substr(std::strlen("--scenario="));
      }
    } else {
      std::fprintf(stderr, "quorel-demo: %s: unknown option\nTry 'quorel-demo --help'.\n",
                   arg.c_str());
      return kExitUsage;
    }
  }
  const Scenario* scenario = FindScenario(scenarioName);
  if (scenario == nullptr) {
    std::fprintf(stderr, "quorel-demo: no scenario named %s (see --list)\n", scenarioName.c_str());
    return kExitUsage;
  }

  const quorel::FirmwarePayload& payload = quorel::CompiledPayload();
  SimulatedUnit unit;
  scenario->setUp(unit, payload);
  quorel::sim::PtyServeOptions options;
  options.pace = pace;
  quorel::sim::PtyUnitServer server(unit, options);
  std::string error;
  if (!server.Open(&error) || !server.Start(&error)) {
    std::fprintf(stderr, "quorel-demo: %s\n", error.c_str());
    return kExitFailed;
  }
  std::printf(
      "quorel-demo: simulating %s; the unit is served on %s, which the updater is given "
      "with --port%s.\n",
      scenario->description, server.devicePath().c_str(), pace ? ", with real line timing" : "");
  std::fflush(stdout);

  updaterArgs.push_back("--port");
  updaterArgs.push_back(server.devicePath());
  updaterArgs.insert(updaterArgs.end(), extraArgs.begin(), extraArgs.end());
  int status = 0;
  {
    quorel::TerminalConsole console;
    quorel::PosixSerialDevices devices(
        [&console](const std::string& line) { console.Error(line); });
    std::vector<const char*> args;
    for (const std::string& arg : updaterArgs) args.push_back(arg.c_str());
    status = quorel::RunUpdateProgram(devices, quorel::SystemClock(), console, payload,
                                      static_cast<int>(args.size()), args.data());
  }
  server.Stop();
  PrintSummary(unit, payload);
  const bool expected = EndedAsExpected(scenario->ending, status, unit, payload);
  std::printf("%s: %s (updater status %d)\n",
              expected ? "ended as expected" : "did NOT end as expected, which was",
              EndingText(scenario->ending), status);
  return expected ? kExitAsExpected : kExitUnexpected;
}
