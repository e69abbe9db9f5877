// The shipped program's command line: every bad option ends the run with its message, the key
// prompt and status 0, before any port is opened.
#include <gtest/gtest.h>

#include "support/console_texts.h"
#include "support/run_program.h"

namespace quorel {
namespace {

using testing::kBanner;
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
  for (const char* arg : {"-x", "-C1", "-S0", "-", "--helpme", "--ports"}) {
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

}  // namespace
}  // namespace quorel
