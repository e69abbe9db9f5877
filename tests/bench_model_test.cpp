// The benchmark's floor arithmetic: wire times, the 40 ms grid of reply waits and its cap, and
// the timeline of single exchanges (probe, checksum reply, memory dump read in pairs, drain,
// burst probe, reopen), each worked out by hand.
#include <gtest/gtest.h>

#include <algorithm>

#include "run/pace_model.h"

namespace quorel::sim {
namespace {

constexpr uint64_t kMs = 1000000;

TEST(BenchModel, WireTimeIsTenBitsPerByte) {
  EXPECT_EQ(WireTimeNs(1, 9600), 1041666u);
  EXPECT_EQ(WireTimeNs(1024, 28800), 355555555u);
  EXPECT_EQ(WireTimeNs(1440, 14400), 1000 * kMs);
  std::map<uint32_t, uint64_t> pc{{28800, 2880}, {9600, 96}};
  std::map<uint32_t, uint64_t> unit{{28800, 288}};
  EXPECT_EQ(WireFloorNs(pc, unit), 1000 * kMs + 100 * kMs + 100 * kMs);
}

TEST(BenchModel, ReplyWaitsCostWholeTicksUpToEight) {
  const uint64_t start = 5 * kMs;
  EXPECT_EQ(ReplyWaitTicks(start, 0), 0);  // there before the wait began
  EXPECT_EQ(ReplyWaitTicks(start, start), 0);
  EXPECT_EQ(ReplyWaitTicks(start, start + 1), 1);
  EXPECT_EQ(ReplyWaitTicks(start, start + 40 * kMs), 1);
  EXPECT_EQ(ReplyWaitTicks(start, start + 40 * kMs + 1), 2);
  EXPECT_EQ(ReplyWaitTicks(start, start + 320 * kMs), 8);
  EXPECT_EQ(ReplyWaitTicks(start, start + 320 * kMs + 1), 8);
  EXPECT_EQ(ReplyWaitTicks(start, kNeverNs), 8);
}

TEST(BenchModel, ProbeReadOfTwentyRunsAllEightTicks) {
  PaceFloor floor(9600);
  floor.Send("E", 1, 2);
  floor.Read(20);
  floor.Close();
  const FloorParts& p = floor.parts();
  EXPECT_EQ(p.endNs, WireTimeNs(1, 9600) + 320 * kMs);
  EXPECT_EQ(p.ticks, 8u);
  EXPECT_EQ(p.replyWaitsCut, 1u);
  EXPECT_EQ(p.pcBytesAt.at(9600), 1u);
  EXPECT_EQ(p.unitBytesAt.at(9600), 2u);
  EXPECT_EQ(floor.commands(), std::vector<std::string>{"E"});
  EXPECT_EQ(floor.commandTimesNs(), std::vector<uint64_t>{WireTimeNs(1, 9600)});
}

TEST(BenchModel, BlockWriteWaitsForItsBytesThenOneTickForTheChecksum) {
  PaceFloor floor(14400);
  floor.Send("A008000", 7);
  floor.Send("D[1024]", 1025);
  floor.Send("C", 1, 11);  // 11 characters take 7.6 ms: one tick
  floor.Read(11);
  floor.Close();
  const FloorParts& p = floor.parts();
  EXPECT_EQ(p.pcWireWaitNs, WireTimeNs(1033, 14400));
  EXPECT_EQ(p.ticks, 1u);
  EXPECT_EQ(p.replyWaitsCut, 0u);
  EXPECT_EQ(p.endNs, WireTimeNs(1033, 14400) + 40 * kMs);
}

TEST(BenchModel, DumpReadInPairsWaitsOnTheGridAsItArrives) {
  // 128 characters at 14400 take 88.9 ms from the arrival of M: the pairs are read at the
  // first check, then at 40, 80 and 120 ms, when the last pair is there.
  PaceFloor floor(14400);
  floor.Send("A004000", 7);
  floor.Send("M", 1, 128);
  for (int i = 0; i < 64; ++i) floor.Read(2);
  EXPECT_EQ(floor.nowNs(), WireTimeNs(8, 14400) + 120 * kMs);
  EXPECT_EQ(floor.parts().ticks, 3u);
  EXPECT_EQ(floor.parts().replyWaits, 64u);
  // Nothing is left, so the drain costs just its 100 ms and the checksum one tick.
  floor.Drain();
  floor.Send("C", 1, 11);
  floor.Read(11);
  floor.Close();
  EXPECT_EQ(floor.parts().endNs,
            WireTimeNs(8, 14400) + 120 * kMs + 100 * kMs + WireTimeNs(1, 14400) + 40 * kMs);
  EXPECT_EQ(floor.parts().drains, 1u);
}

TEST(BenchModel, DrainDiscardsOnlyWhatHasArrived) {
  // At 2400 a character takes 4.17 ms: 24 of a 128-character dump are there when the drain's
  // 100 ms are over. The 60 wanted next are complete with the 84th character, 350 ms after M
  // arrived, 250 ms after the drain: seven ticks.
  PaceFloor floor(2400);
  floor.Send("M", 1, 128);
  floor.Drain();
  const uint64_t afterDrain = floor.nowNs();
  EXPECT_EQ(afterDrain, WireTimeNs(1, 2400) + 100 * kMs);
  floor.Read(60);
  EXPECT_EQ(floor.nowNs() - afterDrain, 7 * 40 * kMs);
  EXPECT_EQ(floor.parts().replyWaitsCut, 0u);
}

TEST(BenchModel, BurstProbeAnswerIsThereOnceTheBurstHasLeft) {
  PaceFloor floor(28800);
  for (int i = 0; i < 20; ++i) floor.Send("E", 1, 2);
  floor.Read(2);
  EXPECT_EQ(floor.parts().ticks, 0u);
  EXPECT_EQ(floor.nowNs(), WireTimeNs(20, 28800));
  // The unit's answers queue on its transmitter: 40 characters from the first E's arrival.
  floor.Drain();
  floor.Read(2);  // all drained: the read runs its 8 ticks out
  EXPECT_EQ(floor.parts().ticks, 8u);
  EXPECT_EQ(floor.parts().unitBytesAt.at(28800), 40u);
}

TEST(BenchModel, ReopenLosesWhatIsPendingAndSleepsAddUp) {
  PaceFloor floor(9600);
  floor.Send("E", 1, 2);
  floor.Send("B028800", 7);
  floor.Reopen(28800);
  EXPECT_EQ(floor.nowNs(), WireTimeNs(8, 9600));  // the close waits for the speed command
  EXPECT_EQ(floor.speed(), 28800u);
  floor.Sleep(2000);
  floor.Read(2);  // the answer to E went with the old line
  EXPECT_EQ(floor.parts().ticks, 8u);
  floor.Sleep(0);  // a sleep of 0 is 1 ms
  floor.Close();
  const FloorParts& p = floor.parts();
  EXPECT_EQ(p.sleepNs, 2001 * kMs);
  EXPECT_EQ(p.endNs, p.pcWireWaitNs + p.sleepNs + p.drains * 100 * kMs + p.ticks * 40 * kMs);
  EXPECT_EQ(p.endNs, WireTimeNs(8, 9600) + 2001 * kMs + 320 * kMs);
}

TEST(BenchModel, FullPlanWithoutConfigurationWork) {
  // At 9600 with no configuration work and the main image only: the connection, greeting,
  // identification and closing sequence as prescribed, 114 blocks, and the flash command.
  UpdatePlan plan;
  plan.wantedSpeed = 9600;
  plan.secondRangeEnd = 0x20732;
  PaceFloor floor(9600);
  PlanFullUpdate(plan, floor);
  const std::vector<std::string>& c = floor.commands();
  ASSERT_GE(c.size(), 40u);
  EXPECT_EQ(c[0], "E");
  EXPECT_EQ(c[1], "B009600");
  EXPECT_EQ(c[22], "E");
  EXPECT_EQ(c[23], "G");
  const std::vector<std::string> middle(c.begin() + 25, c.begin() + 39);
  EXPECT_EQ(middle, (std::vector<std::string>{"A008000", "L00e000", "C", "T", "K", "E", "V0",
                                              "T", "V0", "A004000", "L000400", "C", "A004400",
                                              "C"}));
  // The configuration area's sixteen sums, then the download.
  EXPECT_EQ(c[25 + 9 + 3 + 15 * 2], "JDOWNLOADING UPDATE\n");
  EXPECT_EQ(c[25 + 9 + 3 + 15 * 2 + 4], "A000000");
  EXPECT_EQ(c[c.size() - 2], "JFLASHING DONE IN ABOUT 30 SECS\n");
  EXPECT_EQ(c.back(), "F5382");
  size_t blocks = 0;
  for (const std::string& command : c) blocks += command.rfind("D[", 0) == 0 ? 1 : 0;
  EXPECT_EQ(blocks, 114u + 1u);  // and the last once more before the flash
  EXPECT_NE(std::find(c.begin(), c.end(), "L000332"), c.end());
  // Eight reads of 20 run their ticks out: four probes, G, H, T and the second V0.
  const FloorParts& p = floor.parts();
  EXPECT_EQ(p.replyWaitsCut, 8u);
  EXPECT_EQ(p.drains, 1u);
  EXPECT_EQ(p.sleepNs, 5000 * kMs);
  EXPECT_EQ(p.endNs, p.pcWireWaitNs + p.sleepNs + p.drains * 100 * kMs + p.ticks * 40 * kMs);
  EXPECT_EQ(p.endNs, floor.commandTimesNs().back());

  // The same run at the --fast pace: the same commands; each reply wait costs exactly until its
  // reply is complete, the eight that never complete their full 320 ms.
  PaceFloor prompt(9600, true);
  PlanFullUpdate(plan, prompt);
  EXPECT_EQ(prompt.commands(), c);
  const FloorParts& q = prompt.parts();
  EXPECT_EQ(q.replyWaitsCut, 8u);
  EXPECT_EQ(q.endNs, q.pcWireWaitNs + q.sleepNs + q.drains * 100 * kMs + q.replyWaitNs);
  EXPECT_GE(q.replyWaitNs, 8 * 320 * kMs);
  EXPECT_LT(q.replyWaitNs, p.ticks * 40 * kMs);
}

}  // namespace
}  // namespace quorel::sim
