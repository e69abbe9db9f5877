// The simulator program quorel-sim: its command line, the device it names on its first line,
// the unit it serves there (replies, line speeds, faults), the files it leaves, and how it ends.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "os/clock.h"
#include "os/termios2_linux.h"
#include "common/program_launch.h"
#include "sim/unit_layout.h"
#include "support/posix_child.h"
#include "support/run_program.h"

namespace quorel {
namespace {

// The unit's memory map and record layouts, as the simulated unit describes them.
namespace layout = sim::layout;

const std::string kSim = QUOREL_BINARY_DIR "/quorel-sim";

// A line from fd, without its line feed; empty after timeoutMs without one.
std::string ReadLine(int fd, int timeoutMs) {
  std::string line;
  const uint64_t deadline = SystemClock().NowNs() + static_cast<uint64_t>(timeoutMs) * kNsPerMs;
  while (SystemClock().NowNs() < deadline) {
    pollfd entry{fd, POLLIN, 0};
    if (poll(&entry, 1, 10) <= 0) continue;
    char c = 0;
    if (read(fd, &c, 1) != 1) break;
    if (c == '\n') return line;
    line += c;
  }
  return "";
}

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// The commands of a transcript file, each as "speed command".
std::vector<std::string> TranscriptCommands(const std::string& text) {
  std::vector<std::string> commands;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    size_t space = line.find(' ');
    if (space != std::string::npos) commands.push_back(line.substr(space + 1));
  }
  return commands;
}

// A program's end of the simulated cable: the device opened raw at a given speed.
class Port {
 public:
  explicit Port(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY)) {
    termios settings{};
    if (fd_ < 0 || tcgetattr(fd_, &settings) != 0) return;
    cfmakeraw(&settings);
    tcsetattr(fd_, TCSANOW, &settings);
    SetSpeed(9600);
  }
  ~Port() {
    if (fd_ >= 0) close(fd_);
  }
  Port(const Port&) = delete;
  Port& operator=(const Port&) = delete;

  bool ok() const { return fd_ >= 0; }
  void SetSpeed(uint32_t speed) { SetExactLineSpeed(fd_, speed); }
  // Sends text and returns what comes back until `want` bytes or 300 ms of quiet.
  std::string Ask(const std::string& text, size_t want) {
    testing::WriteText(fd_, text);
    return testing::ReadFor(fd_, 300, want);
  }

 private:
  int fd_;
};

// quorel-sim started in the background with its standard output on a pipe.
struct SimProcess {
  sim::LaunchedProgram program;
  int out = -1;
  std::string device;

  bool Start(const std::vector<std::string>& args) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return false;
    sim::LaunchRequest request;
    request.program = kSim;
    request.args = args;
    request.stdoutFd = pipeFds[1];
    program = sim::LaunchProgram(request);
    close(pipeFds[1]);
    out = pipeFds[0];
    if (program.status != sim::LaunchStatus::kStarted) return false;
    const std::string first = ReadLine(out, 5000);
    if (first.rfind("device: ", 0) != 0) return false;
    device = first.substr(8);
    return true;
  }
  std::string RestOfOutput() { return testing::ReadFor(out, 200); }
  ~SimProcess() {
    if (program.pid > 0 && kill(program.pid, 0) == 0) {
      kill(program.pid, SIGKILL);
      sim::WaitForProgram(program, 5000);
    }
    if (out >= 0) close(out);
  }
};

class SimProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(access(kSim.c_str(), X_OK), 0) << kSim << " is missing: build the quorel-sim target";
  }
};

TEST_F(SimProgram, RejectsBadCommandLinesWithAMessageAndStatus2) {
  struct Case {
    std::vector<std::string> args;
    std::string says;
  };
  const std::vector<Case> cases = {
      {{"--bogus"}, "--bogus: unknown option"},
      {{"--checksum"}, "--checksum: needs a value"},
      {{"--pace=1"}, "--pace=1: takes no value"},
      {{"--checksum", "12g4"}, "--checksum 12g4: a hex checksum"},
      {{"--row", "162"}, "--row 162: a row number from 0 to 161"},
      {{"--model", "ultra", "--release", "042303"}, "--model ultra: pro or base"},
      {{"--model", "pro"}, "--model and --release go together"},
      {{"--release", "1234567"}, "--release 1234567: a release code"},
      {{"--model", "base", "--release", "999999"}, "no Quorel firmware of release 999999"},
      {{"--checksum", "4cf56d", "--row", "3"}, "one of --checksum, --row or --model"},
      {{"--config", "v4"}, "--config v4: auto, v1, v2, v3, zero, ff or none"},
      {{"--silent-speeds", "28800,fast"}, "--silent-speeds 28800,fast: comma-separated"},
      {{"--wrong-cs", "8000:x"}, "--wrong-cs 8000:x: ADDR[:ATTEMPT]"},
      {{"--late-cs", "8000"}, "--late-cs 8000: ADDR[:ATTEMPT]:MS"},
      {{"--stray", "8000:"}, "--stray 8000:: ADDR[:ATTEMPT]:TEXT"},
      {{"--stray", "8000:\\q"}, "--stray 8000:\\q: ADDR[:ATTEMPT]:TEXT"},
      {{"--silent-after-blocks", "-1"}, "--silent-after-blocks -1: a count"},
      {{"serve"}, "unexpected argument: serve"},
  };
  for (const Case& c : cases) {
    testing::ProgramRun run = testing::RunProgram(kSim, c.args, "", 10);
    std::string shown;
    for (const std::string& arg : c.args) shown += arg + " ";
    EXPECT_EQ(run.exitStatus, 2) << shown;
    EXPECT_EQ(run.out, "") << shown;
    EXPECT_EQ(run.err.rfind("quorel-sim: ", 0), 0u) << shown << "\n" << run.err;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << shown << "\n" << run.err;
  }
}

TEST_F(SimProgram, HelpNamesEveryOption) {
  testing::ProgramRun run = testing::RunProgram(kSim, {"--help"}, "", 10);
  EXPECT_EQ(run.exitStatus, 0);
  for (const char* option : {"--checksum",
                             "--row",
                             "--model",
                             "--release",
                             "--config",
                             "--config-seed",
                             "--config-broken",
                             "--silent-speeds",
                             "--silent-after-speed-commands",
                             "--pace",
                             "--wrong-cs",
                             "--missing-cs",
                             "--late-cs",
                             "--stray",
                             "--silent-after-blocks",
                             "--silent-after-checksums",
                             "--greeting-never-answers",
                             "--absent",
                             "--link",
                             "--transcript",
                             "--memory",
                             "--load-memory",
                             "--exit-when-done",
                             "--help"}) {
    EXPECT_NE(run.out.find(std::string("  ") + option + " "), std::string::npos) << option;
  }
}

// A directory of its own for one test's files, removed with everything in it at the end.
struct ScratchDirectory {
  ScratchDirectory() {
    char name[] = "/tmp/quorel-sim-test-XXXXXX";
    if (mkdtemp(name) != nullptr) path = name;
  }
  ~ScratchDirectory() {
    if (path.empty()) return;
    for (const char* file : {"/port", "/transcript", "/memory"}) unlink((path + file).c_str());
    rmdir(path.c_str());
  }
  std::string path;
};

TEST_F(SimProgram, ServesTheUnitOnTheDeviceItNamesFirstAndLeavesItsFiles) {
  ScratchDirectory scratch;
  ASSERT_FALSE(scratch.path.empty());
  const std::string& dir = scratch.path;
  SimProcess sim;
  ASSERT_TRUE(
      sim.Start({"--model", "pro", "--release", "110503", "--missing-cs", "10000", "--link",
                 dir + "/port", "--transcript", dir + "/transcript", "--memory", dir + "/memory"}))
      << sim.program.error;
  EXPECT_EQ(sim.device.rfind("/dev/pts/", 0), 0u) << sim.device;
  char target[256] = {};
  ASSERT_GT(readlink((dir + "/port").c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(sim.device, target);
  {
    Port port(dir + "/port");
    ASSERT_TRUE(port.ok());
    EXPECT_EQ(port.Ask("E", 2), "Ok");
    // A speed command switches the unit; the port follows, and a byte sent at the old speed is
    // lost.
    port.Ask("B028800", 0);
    port.SetSpeed(28800);
    EXPECT_EQ(port.Ask("E", 2), "Ok");
    port.SetSpeed(9600);
    EXPECT_EQ(port.Ask("E", 2), "");
    port.SetSpeed(28800);
    // The code-region checksum of the Pro release 110503 row, and the fault asked for.
    EXPECT_EQ(port.Ask("A008000L00e000C", 11), "CS=004B26DE");
    EXPECT_EQ(port.Ask("A010000C", 11), "");
  }
  kill(sim.program.pid, SIGTERM);
  sim::ProgramUsage usage = sim::WaitForProgram(sim.program, 5000);
  EXPECT_FALSE(usage.timedOut);
  EXPECT_EQ(usage.exitStatus, 0);
  sim.program.pid = -1;
  EXPECT_NE(sim.RestOfOutput().find("stopped"), std::string::npos);

  struct stat info;
  EXPECT_NE(lstat((dir + "/port").c_str(), &info), 0) << "the link outlived the simulator";
  EXPECT_EQ(TranscriptCommands(ReadFile(dir + "/transcript")),
            (std::vector<std::string>{"9600 E", "9600 B028800", "28800 E", "28800 A008000",
                                      "28800 L00e000", "28800 C", "28800 A010000", "28800 C"}));
  const std::string memory = ReadFile(dir + "/memory");
  ASSERT_EQ(memory.size(), 0x70000u);
  uint32_t sum = 0;
  for (size_t i = 0; i < layout::kCodeRegionLength; ++i) {
    sum += static_cast<uint8_t>(memory[layout::kCodeRegionStart + i]);
  }
  EXPECT_EQ(sum, 0x4B26DEu);

  // The next run starts from that memory, over what its own options set up: the code region of
  // 110503 again, whatever release is named.
  SimProcess next;
  ASSERT_TRUE(next.Start({"--model", "pro", "--release", "042303", "--load-memory", dir + "/memory"}))
      << next.program.error;
  {
    Port port(next.device);
    ASSERT_TRUE(port.ok());
    EXPECT_EQ(port.Ask("E", 2), "Ok");
    EXPECT_EQ(port.Ask("A008000L00e000C", 11), "CS=004B26DE");
  }
  EXPECT_NE(next.RestOfOutput().find("memory: loaded from " + dir + "/memory"), std::string::npos);
  // A file of another size is no memory image.
  testing::ProgramRun bad = testing::RunProgram(kSim, {"--load-memory", dir + "/transcript"}, "", 10);
  EXPECT_EQ(bad.exitStatus, 1);
  EXPECT_NE(bad.err.find("not a memory image of --memory (458752 bytes)"), std::string::npos)
      << bad.err;
}

TEST_F(SimProgram, EndsByItselfOnceTheUnitHasLeftUpdateModeAndTheLineIsQuiet) {
  SimProcess sim;
  ASSERT_TRUE(sim.Start({"--checksum", "123456", "--exit-when-done"})) << sim.program.error;
  {
    Port port(sim.device);
    ASSERT_TRUE(port.ok());
    EXPECT_EQ(port.Ask("E", 2), "Ok");
    port.Ask("X", 0);
    // Out of update mode: no more answers.
    EXPECT_EQ(port.Ask("E", 2), "");
  }
  sim::ProgramUsage usage = sim::WaitForProgram(sim.program, 5000);
  sim.program.pid = -1;
  EXPECT_FALSE(usage.timedOut);
  EXPECT_EQ(usage.exitStatus, 0);
  EXPECT_NE(sim.RestOfOutput().find("left update mode: yes"), std::string::npos);
}

}  // namespace
}  // namespace quorel
