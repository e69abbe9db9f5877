// The shipped program's command line: every bad option ends the run with its message, the key
// prompt and status 0, before any port is opened.
#include <gtest/gtest.h>

#include <numeric>

#include "payload/payload.h"

#include "sim/unit_layout.h"
#include "support/console_texts.h"
#include "support/run_program.h"

namespace quorel {
namespace {

// The unit's memory map and record layouts, as the simulated unit describes them.
namespace layout = sim::layout;

using testing::kBanner;
using testing::kNotInUpdateMode;
using testing::kPrompt;

using testing::ProgramRun;
using testing::RunProgram;

const char kPortUsage[] = "Error, usage is -cX to set COM port, where X is 1-4\n";
const char kSpeedUsage[] =
    "Error, usage is -sX to set RS232 port speed, where X is 0(fastest) to 4(slowest)\n";

ProgramRun RunUpdater(const std::vector<std::string>& args) {
  return RunProgram(QUOREL_UPDATE_BINARY, args, "");
}

TEST(ProgramOptions, BadPortNumbersGiveThePortUsage) {
  for (const char* arg : {"-c5", "-c0", "-c", "-cx"}) {
    ProgramRun run = RunUpdater({arg});
    EXPECT_EQ(run.out, std::string(kBanner) + kPortUsage + kPrompt) << arg;
    EXPECT_EQ(run.exitStatus, 0) << arg;
    EXPECT_EQ(run.err, "") << arg;  // no port was opened, so nothing to report
  }
}

TEST(ProgramOptions, BadSpeedsGiveTheSpeedUsage) {
  for (const char* arg : {"-s5", "-s", "-s9"}) {
    ProgramRun run = RunUpdater({arg});
    EXPECT_EQ(run.out, std::string(kBanner) + kSpeedUsage + kPrompt) << arg;
    EXPECT_EQ(run.exitStatus, 0) << arg;
  }
}

TEST(ProgramOptions, UnknownOptionsAreNamedWhole) {
  for (const char* arg : {"-x", "-C1", "-S0", "-", "--helpme", "--ports", "--fastest", "-fast"}) {
    ProgramRun run = RunUpdater({arg});
    EXPECT_EQ(run.out, std::string(kBanner) + arg + " :Unrecognized option\n" + kPrompt) << arg;
    EXPECT_EQ(run.exitStatus, 0) << arg;
  }
}

TEST(ProgramOptions, TheFirstBadOptionEndsTheRun) {
  ProgramRun run = RunUpdater({"-s9", "-c7"});
  EXPECT_EQ(run.out, std::string(kBanner) + kSpeedUsage + kPrompt);
  run = RunUpdater({"foo", "-c2", "-q", "-s7"});
  EXPECT_EQ(run.out, std::string(kBanner) + "-q :Unrecognized option\n" + kPrompt);
}

TEST(ProgramOptions, KeyPromptTakesOneKeyFromAPipe) {
  // With standard input a pipe holding a key, the program reads it and ends the same way.
  ProgramRun run = RunProgram(QUOREL_UPDATE_BINARY, {"-c9"}, "n");
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.out, std::string(kBanner) + kPortUsage + kPrompt);
}

TEST(ProgramOptions, HelpVersionAndPortListAnswerAtOnceWhereverTheyStand) {
  // The code-region checksum summed here, byte by byte, as the unit sums it.
  const FirmwarePayload& p = CompiledPayload();
  const uint8_t* code = p.SwImage + layout::kCodeRegionStart;
  const uint32_t sum = std::accumulate(code, code + layout::kCodeRegionLength, 0u);
  char version[128];
  std::snprintf(version, sizeof version,
                "quorel-update " QUOREL_PROJECT_VERSION
                "\nfirmware: QuorelPro release 020904, code-region checksum "
                "%x\n",
                sum);
  ProgramRun versionRun = RunUpdater({"--version"});
  EXPECT_EQ(versionRun.out, version);
  EXPECT_EQ(versionRun.exitStatus, 0);
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"--help"}, {"-x", "-c9", "--help"}}) {
    ProgramRun run = RunUpdater(args);
    EXPECT_EQ(run.exitStatus, 0);
    for (const char* part : {"Usage: quorel-update [--port DEVICE | -cX] [-sX] [--fast] "
                             "[--trace FILE]\n                     [--identify] [--save-config FILE] [--restore-config FILE]\n",
                             "\n  --identify     only say what the unit runs",
                             "\n  --save-config FILE\n",
                             "0 = 28800 (default), 1 = 14400, 2 = 9600, 3 = 4800,\n"
                             "                 4 = 2400 bit/s",
                             "\n  1    the update completed", "\n  130  interrupted"}) {
      EXPECT_NE(run.out.find(part), std::string::npos) << part;
    }
    EXPECT_EQ(run.out.rfind("Usage", 0), 0u);  // no banner, and no key prompt
    EXPECT_EQ(run.out.find("Press a key"), std::string::npos);
  }
  // The real machine's list: whatever it holds, no banner and no prompt.
  ProgramRun list = RunUpdater({"-s1", "--list-ports"});
  EXPECT_EQ(list.exitStatus, 0);
  EXPECT_EQ(list.out.find("firmware update utility"), std::string::npos);
  EXPECT_EQ(list.out.find("Press a key"), std::string::npos);
  ASSERT_FALSE(list.out.empty());
  EXPECT_EQ(list.out.back(), '\n');
}

TEST(ProgramOptions, PortAndTraceOptionsAndPlainWords) {
  // No value, and a trace that cannot be written: bad options, before any port is opened.
  EXPECT_EQ(RunUpdater({"-s1", "--port"}).out,
            kBanner + "Error, usage is --port DEVICE to set the serial device, for example "
                      "--port /dev/ttyUSB0\n" + kPrompt);
  EXPECT_EQ(RunUpdater({"--trace=/nonexistent/quorel/t"}).out,
            kBanner + "Error, cannot write the trace file /nonexistent/quorel/t: No such file "
                      "or directory\n" + kPrompt);
  // A missing device: the unit does not answer, and standard error names the device.
  ProgramRun run = RunUpdater({"help", "--port=/nonexistent/ttyUSB9"});
  EXPECT_EQ(run.out, kBanner + kNotInUpdateMode + kPrompt);
  EXPECT_EQ(run.err,
            "quorel-update: ignored \"help\": options begin with -; to choose the serial device "
            "use --port DEVICE (see quorel-update --help)\n"
            "quorel-update: cannot open /nonexistent/ttyUSB9: No such file or directory "
            "(quorel-update --list-ports shows the serial ports of this machine)\n");
  EXPECT_EQ(run.exitStatus, 0);
  // -c2 after --port: COM2's own device is tried, whatever this machine has there.
  run = RunUpdater({"--port", "/nonexistent/ttyUSB9", "-c2"});
  EXPECT_EQ(run.err.find("/nonexistent"), std::string::npos) << run.err;
  EXPECT_TRUE(run.err.empty() ||
              run.err.rfind("quorel-update: cannot open COM2 (/dev/ttyS1)", 0) == 0)
      << run.err;
}

}  // namespace
}  // namespace quorel
