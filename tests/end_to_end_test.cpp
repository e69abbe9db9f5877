// The shipped quorel-update binary, run as a user runs it: its serial device, given with --port,
// is a pseudo-terminal served by a simulated unit in real time, and its console is a second
// pseudo-terminal on which the test reads the text and types the keys. Each run is judged by
// what it must have done: the exit status, the console texts, the commands the unit took, and
// the unit's memory against the payload and against configuration records worked out by hand.
// No root and no namespace is needed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "os/clock.h"
#include "payload/payload.h"
#include "common/program_launch.h"
#include "sim/pty_unit_server.h"
#include "sim/simulated_unit.h"
#include "sim/unit_layout.h"
#include "support/console_texts.h"
#include "support/hand_records.h"
#include "support/posix_child.h"
#include "support/sim_helpers.h"

namespace quorel {
namespace {

// The unit's memory map and record layouts, as the simulated unit describes them.
namespace layout = sim::layout;
using layout::kConfigBase;
using layout::kRecords;
using layout::kRecordV1;
using layout::kRecordV3;

using testing::kPrompt;
using testing::kNotInUpdateMode;
using testing::kFlashText;

using sim::SimulatedUnit;
using testing::ChecksumOfRelease;
using testing::Dots;


// LeakSanitizer checks a program at its exit by tracing it, which a program already traced for
// its peak memory does not allow: under AddressSanitizer the peak is not measured.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kCanMeasurePeakMemory = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kCanMeasurePeakMemory = false;
#else
constexpr bool kCanMeasurePeakMemory = true;
#endif
#else
constexpr bool kCanMeasurePeakMemory = true;
#endif


// A key the user presses once the given text has appeared and the program waits for a key.
struct KeyPress {
  std::string after;
  char key;
};

struct Scenario {
  std::function<void(SimulatedUnit&)> setUp;
  std::vector<std::string> args;
  std::vector<KeyPress> keys;
  std::string port = "COM1";  // the port name of the scenario
  bool portHeldByAnother = false;
  bool throughLink = false;  // the device is named by a symbolic link to it
  bool closedStdin = false;  // started with standard input closed: no console keys
  bool measure = false;
  int timeoutMs = 60000;
};

// The program's console: a pseudo-terminal whose master the test reads and types into. Its
// output processing is off, so the test sees exactly the bytes the program wrote; echo and line
// editing are on, as in a user's terminal, until the program turns them off to read a key.
class ConsoleTerminal {
 public:
  ~ConsoleTerminal() { Finish(); }

  bool Open() {
    if (!tty_.Open()) return false;
    termios settings{};
    tcgetattr(tty_.slave, &settings);
    settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tcsetattr(tty_.slave, TCSANOW, &settings);
    fcntl(tty_.master, F_SETFL, fcntl(tty_.master, F_GETFL) | O_NONBLOCK);
    fcntl(tty_.master, F_SETFD, FD_CLOEXEC);
    fcntl(tty_.slave, F_SETFD, FD_CLOEXEC);
    return true;
  }
  int slave() const { return tty_.slave; }

  // Reads the console and the program's standard error until Finish, typing each key once its
  // text has appeared and the program is reading a key (echo and line editing off).
  void Start(std::vector<KeyPress> keys, int errorFd) {
    keys_ = std::move(keys);
    errorFd_ = errorFd;
    reader_ = std::thread([this] { ReadLoop(); });
  }
  void Finish() {
    if (!reader_.joinable()) return;
    done_.store(true);
    reader_.join();
  }
  std::string output() {
    std::lock_guard<std::mutex> lock(mutex_);
    return output_;
  }
  std::string errors() {
    std::lock_guard<std::mutex> lock(mutex_);
    return errors_;
  }
  size_t keysTyped() const { return nextKey_.load(); }

 private:
  bool ReadingAKey() {
    termios settings{};
    if (tcgetattr(tty_.slave, &settings) != 0) return false;
    return (settings.c_lflag & (ECHO | ICANON)) == 0;
  }

  // Reads what is waiting; true once the other side has closed.
  bool Drain(int fd, std::string* into) {
    char buffer[4096];
    for (;;) {
      ssize_t got = read(fd, buffer, sizeof buffer);
      if (got <= 0) return got == 0;
      std::lock_guard<std::mutex> lock(mutex_);
      into->append(buffer, static_cast<size_t>(got));
    }
  }

  void ReadLoop() {
    size_t searchFrom = 0;
    bool last = false;
    while (!last) {
      last = done_.load();
      pollfd fds[2] = {{tty_.master, POLLIN, 0}, {errorFd_, POLLIN, 0}};
      poll(fds, 2, 2);
      Drain(tty_.master, &output_);
      // Once the program has ended its standard error is no longer polled.
      if ((fds[1].revents & (POLLIN | POLLHUP)) != 0 && Drain(errorFd_, &errors_)) errorFd_ = -1;
      const size_t next = nextKey_.load();
      if (next >= keys_.size()) continue;
      const std::string text = output();
      const size_t at = text.find(keys_[next].after, searchFrom);
      if (at == std::string::npos || !ReadingAKey()) continue;
      testing::WriteText(tty_.master, std::string(1, keys_[next].key));
      searchFrom = at + keys_[next].after.size();
      nextKey_.store(next + 1);
    }
  }

  testing::PseudoTerminal tty_;
  std::vector<KeyPress> keys_;
  int errorFd_ = -1;
  std::thread reader_;
  std::atomic<bool> done_{false};
  std::atomic<size_t> nextKey_{0};
  std::mutex mutex_;
  std::string output_;
  std::string errors_;
};

enum class Outcome { kRan, kFailed };

// The scenario's arguments, then the unit's device.
std::vector<std::string> ArgsWithDevice(const Scenario& scenario, const std::string& device) {
  std::vector<std::string> args = scenario.args;
  args.insert(args.end(), {"--port", device});
  return args;
}

struct ShippedRun {
  Outcome outcome = Outcome::kFailed;
  std::string problem;  // why the program did not run
  std::string device;   // the unit's device as the program was given it
  sim::ProgramUsage usage;
  std::string out;
  std::string err;
  size_t keysTyped = 0;
  sim::PtyServerStats stats;
  std::unique_ptr<SimulatedUnit> unit = std::make_unique<SimulatedUnit>();
};

// Runs the shipped program against the scenario's unit, in real time.
ShippedRun RunShipped(const Scenario& scenario) {
  ShippedRun run;
  scenario.setUp(*run.unit);
  sim::PtyUnitServer server(*run.unit);
  ConsoleTerminal console;
  int errorPipe[2] = {-1, -1};
  if (!server.Open(&run.problem) || !server.Start(&run.problem)) return run;
  if (!console.Open() || pipe2(errorPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    run.problem = "cannot create the console";
    return run;
  }
  int holder = -1;
  if (scenario.portHeldByAnother) {
    // Another program has the port: it holds the device's lock.
    holder = open(server.devicePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (holder < 0 || flock(holder, LOCK_EX) != 0) {
      run.problem = "cannot lock " + server.devicePath();
      return run;
    }
  }

  run.device = server.devicePath();
  if (scenario.throughLink) {
    run.device = ::testing::TempDir() + "quorel-e2e-by-id-" + std::to_string(getpid());
    unlink(run.device.c_str());
    if (symlink(server.devicePath().c_str(), run.device.c_str()) != 0) {
      run.problem = "cannot make a link to the device";
      return run;
    }
  }

  sim::LaunchRequest request;
  request.program = QUOREL_UPDATE_BINARY;
  request.args = ArgsWithDevice(scenario, run.device);
  request.stdinFd = console.slave();
  request.stdoutFd = console.slave();
  request.stderrFd = errorPipe[1];
  request.closeStdin = scenario.closedStdin;
  request.controllingTerminal = !scenario.closedStdin;
  request.measurePeakRss = scenario.measure;
  // (ptrace ties the child to this thread, which also waits for it below.)
  sim::LaunchedProgram program = sim::LaunchProgram(request);
  close(errorPipe[1]);
  if (program.status != sim::LaunchStatus::kStarted) {
    run.outcome = Outcome::kFailed;
    run.problem = program.error;
    close(errorPipe[0]);
    if (holder >= 0) close(holder);
    return run;
  }
  console.Start(scenario.keys, errorPipe[0]);
  run.usage = sim::WaitForProgram(program, scenario.timeoutMs);
  // Whatever the program wrote before it ended reaches the unit before the server stops.
  server.Stop();
  console.Finish();
  close(errorPipe[0]);
  if (holder >= 0) close(holder);
  if (scenario.throughLink) unlink(run.device.c_str());
  run.outcome = Outcome::kRan;
  run.out = console.output();
  run.err = console.errors();
  run.keysTyped = console.keysTyped();
  run.stats = server.stats();
  return run;
}

std::string LastCommand(const SimulatedUnit& unit) {
  return unit.transcript().empty() ? "" : unit.transcript().back().command;
}

void PutProUnitOn(SimulatedUnit& unit, ReleaseCode code) {
  unit.SetCodeRegionChecksum(ChecksumOfRelease(CompiledPayload(), kProModel, code));
}

// Success when the program ran to its end; otherwise why not.
::testing::AssertionResult Ran(const ShippedRun& run) {
  if (run.outcome == Outcome::kRan && !run.usage.timedOut) return ::testing::AssertionSuccess();
  if (run.outcome == Outcome::kRan) {
    return ::testing::AssertionFailure() << "the program did not end in time and was killed; "
                                         << "console so far:\n"
                                         << run.out;
  }
  return ::testing::AssertionFailure() << "the program did not start: " << run.problem;
}

// Every run: no byte went at a speed the other side did not listen at.
void ExpectCleanLine(const ShippedRun& run) { EXPECT_EQ(run.stats.bytesLostToSpeed, 0u); }

TEST(EndToEnd, UpdatesAnOldProUnitConvertingItsConfiguration) {
  // A Pro unit on 042303 stores its records in the oldest layout: the run reads them out at
  // 14400, converts them, writes them back, sends both images at 28800 and flashes.
  Scenario scenario;
  // With --fast, so the prompt reply reads run end to end through the shipped program.
  scenario.setUp = [](SimulatedUnit& unit) {
    for (uint32_t r = 0; r < kRecords; ++r) {
      const std::vector<uint8_t> record = testing::HandOldestRecord(r);
      std::copy(record.begin(), record.end(), unit.memory().begin() + kConfigBase + r * kRecordV1);
    }
    PutProUnitOn(unit, 0x042303);
  };
  scenario.args = {"--fast"};
  scenario.keys = {{kPrompt, ' '}};
  scenario.timeoutMs = 180000;
  ShippedRun run = RunShipped(scenario);
  ASSERT_TRUE(Ran(run));
  ExpectCleanLine(run);

  EXPECT_EQ(run.usage.exitStatus, 1);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.keysTyped, 1u);
  const std::string& out = run.out;
  EXPECT_NE(out.find("Connected\n\nChecking version..\nUnit confirmed as QuorelPro with firmware "
                     "rev 042303.\nUpdate proceeding..\n\n"),
            std::string::npos);
  EXPECT_NE(out.find("Reading config data..\n"), std::string::npos);
  EXPECT_NE(out.find("\nSending SW update.." + Dots(114) + "\nSending HW update.." + Dots(177) +
                     "\nVerifying.." + Dots(4) + kFlashText + kPrompt),
            std::string::npos);
  EXPECT_EQ(out.substr(out.size() - kPrompt.size()), kPrompt);

  // The unit holds both images, and the hand-worked records in the newest layout (the last
  // one up to 0x8000, where the main image takes over).
  const SimulatedUnit& unit = *run.unit;
  const FirmwarePayload& p = CompiledPayload();
  EXPECT_TRUE(testing::RangeEquals(unit, layout::kMainFirst, p.SwImage));
  EXPECT_TRUE(
      testing::RangeEquals(unit, layout::kMainSecond, p.SwImage + layout::kMainSecond.start));
  EXPECT_TRUE(testing::RangeEquals(unit, layout::kSecondImage, p.HwImage));
  const std::vector<uint8_t> groups = testing::HandGroups();
  for (uint32_t r = 0; r < kRecords; ++r) {
    const uint8_t* record = unit.memory().data() + kConfigBase + r * kRecordV3;
    EXPECT_EQ(record[0], 0x30 + r) << r;
    EXPECT_TRUE(std::equal(groups.begin(), groups.end(), record + 26)) << r;
    EXPECT_EQ(record[76], 0x44) << r;
    if (r == 5) break;
    EXPECT_EQ(record[2444], 0x44) << r;
    EXPECT_EQ(record[2803], 0x75) << r;
    EXPECT_EQ(record[2804], 0x39) << r;  // 0x8739, low byte first
    EXPECT_EQ(record[2805], 0x87) << r;
  }
  const std::vector<std::string> c = unit.Commands();
  ASSERT_GE(c.size(), 2u);
  EXPECT_EQ(c[c.size() - 2], "JFLASHING DONE IN ABOUT 30 SECS\n");
  EXPECT_EQ(c.back(), "F5382");
  EXPECT_TRUE(unit.flashed());
  // The configuration work ran at 14400, the download at the negotiated 28800.
  EXPECT_EQ(testing::SpeedOf(unit, "M"), 14400u);
  EXPECT_EQ(testing::SpeedOf(unit, "JDOWNLOADING UPDATE\n"), 28800u);
}

TEST(EndToEnd, AWriteBackCutByASilentUnitIsPutBackFromTheCopyItNames) {
  // Three runs on one unit's memory: the first loses the unit in the second record's write-back,
  // the second finds the records partly written and stops, naming the automatic copy, the third
  // writes that copy's settings and flashes.
  const std::string previous = getenv("XDG_STATE_HOME") != nullptr ? getenv("XDG_STATE_HOME") : "";
  char folder[] = "/tmp/quorel-e2e-copies-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  setenv("XDG_STATE_HOME", folder, 1);
  Scenario scenario;
  scenario.setUp = [](SimulatedUnit& unit) {
    for (uint32_t r = 0; r < kRecords; ++r) {
      std::vector<uint8_t> record = testing::HandOldestRecord(r);
      testing::HandStoreSum(record.data(), 2476);
      std::copy(record.begin(), record.end(), unit.memory().begin() + kConfigBase + r * kRecordV1);
    }
    PutProUnitOn(unit, 0x042303);
    unit.faults().silentAfterBlocks = 13;
  };
  scenario.args = {"--fast"};
  scenario.keys = {{kPrompt, ' '}};
  scenario.timeoutMs = 120000;
  const ShippedRun cut = RunShipped(scenario);
  ASSERT_TRUE(Ran(cut));
  EXPECT_EQ(cut.usage.exitStatus, 0);
  const std::string mark = "--restore-config ";
  const size_t named = cut.out.find(mark);
  ASSERT_NE(named, std::string::npos) << cut.out;
  const std::string copy = cut.out.substr(named + mark.size(),
                                          cut.out.find('\n', named) - named - mark.size());
  EXPECT_EQ(copy.rfind(std::string(folder) + "/quorel-update/QuorelPro-042303-", 0), 0u);
  EXPECT_NE(cut.out.find("\nThe unit was not flashed. Update exiting\n"
                         "The unit's settings are partly written back.\n"),
            std::string::npos);

  const SimulatedUnit& left = *cut.unit;
  scenario.setUp = [&left](SimulatedUnit& unit) { unit.memory() = left.memory(); };
  const ShippedRun stop = RunShipped(scenario);
  ASSERT_TRUE(Ran(stop));
  EXPECT_EQ(stop.usage.exitStatus, 0);
  EXPECT_NE(stop.out.find("(1 of the six records are in the new layout, the others are not).\n"),
            std::string::npos);
  EXPECT_NE(stop.out.find("    quorel-update --restore-config " + copy + "\nUpdate exiting\n"),
            std::string::npos);
  EXPECT_EQ(stop.unit->stats().dataBlocks, 0u);

  scenario.args = {"--fast", "--restore-config", copy};
  const ShippedRun restore = RunShipped(scenario);
  ASSERT_TRUE(Ran(restore));
  EXPECT_EQ(restore.usage.exitStatus, 1);
  EXPECT_TRUE(restore.unit->flashed());
  // The hand-worked records in the newest layout, as after one conversion.
  const std::vector<uint8_t> groups = testing::HandGroups();
  for (uint32_t r = 0; r < 5; ++r) {
    const uint8_t* record = restore.unit->memory().data() + kConfigBase + r * kRecordV3;
    EXPECT_EQ(record[0], 0x30 + r) << r;
    EXPECT_TRUE(std::equal(groups.begin(), groups.end(), record + 26)) << r;
    EXPECT_EQ(record[76], 0x44) << r;
    EXPECT_EQ(record[2444], 0x44) << r;
    EXPECT_EQ(record[2803], 0x75) << r;
    EXPECT_EQ(record[2804], 0x39) << r;
    EXPECT_EQ(record[2805], 0x87) << r;
  }
  setenv("XDG_STATE_HOME", previous.c_str(), 1);
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
}

TEST(EndToEnd, StepsDownToTheFirstSpeedTheUnitAnswersAt) {
  Scenario scenario;
  scenario.setUp = [](SimulatedUnit& unit) {
    PutProUnitOn(unit, 0x110503);
    unit.faults().silentSpeeds = {28800};
  };
  scenario.keys = {{kPrompt, 'q'}};
  ShippedRun run = RunShipped(scenario);
  ASSERT_TRUE(Ran(run));
  ExpectCleanLine(run);

  EXPECT_EQ(run.usage.exitStatus, 1);
  EXPECT_NE(run.out.find("28800k RS232 speed not working trying 14400k \nConnected\n"),
            std::string::npos);
  EXPECT_EQ(run.out.find("14400k RS232 speed not working"), std::string::npos);
  const SimulatedUnit& unit = *run.unit;
  EXPECT_EQ(testing::SpeedOf(unit, "B028800"), 9600u);
  EXPECT_EQ(testing::SpeedOf(unit, "B014400"), 28800u);
  EXPECT_EQ(testing::SpeedOf(unit, "G"), 14400u);
  EXPECT_EQ(LastCommand(unit), "F5382");
  EXPECT_TRUE(testing::RangeEquals(unit, layout::kMainSecond,
                                   CompiledPayload().SwImage + layout::kMainSecond.start));
}

TEST(EndToEnd, RefusesAUnitOfTheOtherModelReachedThroughALink) {
  Scenario scenario;
  scenario.throughLink = true;
  scenario.setUp = [](SimulatedUnit& unit) {
    unit.SetCodeRegionChecksum(ChecksumOfRelease(CompiledPayload(), kBaseModel, 0x091103));
  };
  scenario.keys = {{kPrompt, 'x'}};
  ShippedRun run = RunShipped(scenario);
  ASSERT_TRUE(Ran(run));
  ExpectCleanLine(run);

  EXPECT_EQ(run.usage.exitStatus, 1);
  const uint32_t row = FindReleaseRow(CompiledPayload().releaseTable,
                                      ChecksumOfRelease(CompiledPayload(), kBaseModel, 0x091103));
  const std::string refusal =
      "Unit ID's as Quorel   , but this firmware is for a QuorelPro (ind:" + std::to_string(row) +
      ")\nFirmware not updated...Exiting\n" + kPrompt;
  ASSERT_GE(run.out.size(), refusal.size());
  EXPECT_EQ(run.out.substr(run.out.size() - refusal.size()), refusal);
  EXPECT_EQ(LastCommand(*run.unit), "X");
  EXPECT_FALSE(run.unit->flashed());
  EXPECT_EQ(run.err, "");
}

TEST(EndToEnd, DeclinesAnUnknownUnitWhenTheUserTypesNWithoutEchoingIt) {
  Scenario scenario;
  scenario.setUp = [](SimulatedUnit& unit) { unit.SetCodeRegionChecksum(0x123456); };
  const std::string question = "Are you sure you want to run update for QuorelPro rev 020904 (y/n)";
  scenario.keys = {{question, 'n'}, {kPrompt, ' '}};
  ASSERT_EQ(FindReleaseRow(CompiledPayload().releaseTable, 0x123456), kReleaseTableRows);
  ShippedRun run = RunShipped(scenario);
  ASSERT_TRUE(Ran(run));
  ExpectCleanLine(run);

  EXPECT_EQ(run.usage.exitStatus, 1);
  EXPECT_EQ(run.keysTyped, 2u);
  // The answer is not echoed: the question is followed at once by the program's own line feed.
  const std::string ending = "Could not confirm unit ID (csum=123456)\n" + question +
                             "\nFirmware not updated...Exiting\n" + kPrompt;
  ASSERT_GE(run.out.size(), ending.size());
  EXPECT_EQ(run.out.substr(run.out.size() - ending.size()), ending);
  EXPECT_EQ(LastCommand(*run.unit), "X");
}

TEST(EndToEnd, AClosedStandardInputDeclinesRatherThanReadingTheSerialLine) {
  // Started as "quorel-update <&-": the port must not become descriptor 0, or the question
  // would wait for a key from the unit.
  Scenario scenario;
  scenario.setUp = [](SimulatedUnit& unit) { unit.SetCodeRegionChecksum(0x123456); };
  scenario.closedStdin = true;
  ShippedRun run = RunShipped(scenario);
  ASSERT_TRUE(Ran(run));
  ExpectCleanLine(run);

  EXPECT_EQ(run.usage.exitStatus, 1);
  const std::string ending =
      "Are you sure you want to run update for QuorelPro rev 020904 (y/n)"
      "\nFirmware not updated...Exiting\n" + kPrompt;
  ASSERT_GE(run.out.size(), ending.size());
  EXPECT_EQ(run.out.substr(run.out.size() - ending.size()), ending);
  EXPECT_EQ(LastCommand(*run.unit), "X");
}

TEST(EndToEnd, GivesUpOnAUnitThatFallsSilentDuringTheDownload) {
  Scenario scenario;
  scenario.setUp = [](SimulatedUnit& unit) {
    PutProUnitOn(unit, 0x110503);
    unit.faults().silentAfterBlocks = 20;
  };
  scenario.keys = {{kPrompt, ' '}};
  ShippedRun run = RunShipped(scenario);
  ASSERT_TRUE(Ran(run));
  ExpectCleanLine(run);

  EXPECT_EQ(run.usage.exitStatus, 0);
  // The unit answers no checksum query after its 20th data block, the fourth of the second
  // range, at 0x8C00: that block gets ten attempts.
  EXPECT_NE(run.out.find("cs err,rs=0 cs="), std::string::npos);
  EXPECT_NE(run.out.find("Retry#9\n"), std::string::npos);
  EXPECT_EQ(run.out.find("Retry#10\n"), std::string::npos);
  const std::vector<std::string> c = run.unit->Commands();
  EXPECT_EQ(testing::CountOf(c, "A008C00"), 10u);
  EXPECT_EQ(testing::CountOf(c, "F5382"), 0u);
  EXPECT_EQ(LastCommand(*run.unit), "X");
  EXPECT_FALSE(run.unit->flashed());
}

TEST(EndToEnd, ReportsAPortInUseByAnotherProgram) {
  Scenario scenario;
  scenario.setUp = [](SimulatedUnit& unit) { PutProUnitOn(unit, 0x110503); };
  scenario.portHeldByAnother = true;
  scenario.keys = {{kPrompt, ' '}};
  ShippedRun run = RunShipped(scenario);
  ASSERT_TRUE(Ran(run));
  ExpectCleanLine(run);

  EXPECT_EQ(run.usage.exitStatus, 0);
  ASSERT_GE(run.out.size(), kNotInUpdateMode.size() + kPrompt.size());
  EXPECT_EQ(run.out.substr(run.out.size() - kNotInUpdateMode.size() - kPrompt.size()),
            kNotInUpdateMode + kPrompt);
  // Standard error names the port and its device, and says why it could not be opened.
  EXPECT_EQ(run.err.rfind("quorel-update: cannot open " + run.device +
                              ": the port is in use by another program (a terminal program, "
                              "ModemManager probing a new adapter, or brltty",
                          0),
            0u)
      << run.err;
  EXPECT_TRUE(run.unit->transcript().empty());
}

TEST(EndToEnd, FindsNoUnitWhenComIsFollowedByPortAndMeasuresItsOwnPeakMemory) {
  // -c2 before --port: the later one counts, so the run reaches the unit's device.
  Scenario scenario;
  scenario.setUp = [](SimulatedUnit& unit) { unit.faults().absent = true; };
  scenario.args = {"-c2"};
  scenario.port = "COM2";
  scenario.keys = {{kPrompt, ' '}};
  scenario.measure = kCanMeasurePeakMemory;
  ShippedRun run = RunShipped(scenario);
  ASSERT_TRUE(Ran(run));
  ExpectCleanLine(run);

  EXPECT_EQ(run.usage.exitStatus, 0);
  EXPECT_EQ(run.out.substr(run.out.size() - kNotInUpdateMode.size() - kPrompt.size()),
            kNotInUpdateMode + kPrompt);
  EXPECT_EQ(run.err, "");
  // The probe went out at 9600 and was answered by nothing.
  EXPECT_TRUE(run.unit->transcript().empty());
  EXPECT_EQ(run.unit->stats().bytesReceived, 0u);
  EXPECT_GE(run.stats.opens, 1u);

  // One probe and its 320 ms wait, then the prompt.
  EXPECT_GT(run.usage.wallNs, 300 * kNsPerMs);
  if (!scenario.measure) return;
  // The program's own peak, not that of the test process it was forked from (which holds two
  // simulated units of 16 MiB each).
  EXPECT_TRUE(run.usage.peakRssOwn);
  EXPECT_GT(run.usage.peakRssKb, 0);
  EXPECT_LT(run.usage.peakRssKb, run.usage.forkedPeakRssKb);
  EXPECT_LT(run.usage.peakRssKb, 16 * 1024);
}

}  // namespace
}  // namespace quorel
