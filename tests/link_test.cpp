// The link primitives over a virtual line, and the virtual line itself: wire timing, speed
// mismatches, opening failures, a vanishing adapter and reproducible line noise.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "serial/link.h"
#include "serial/serial_port.h"
#include "sim/simulated_unit.h"
#include "sim/virtual_clock.h"
#include "sim/virtual_line.h"

namespace quorel::sim {
namespace {

constexpr uint64_t kMs = kNsPerMs;

// Wire time of n bytes at a speed: 10 bits each.
constexpr uint64_t WireNs(uint64_t bytes, uint64_t speed) {
  return bytes * 10 * 1000000000ull / speed;
}

class LinkTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(port.Open("COM1", 9600, 0), kOpenOk); }

  // Reads a reply into a buffer first filled with junk, so that a missing terminator shows.
  int32_t Read(int32_t n, std::string* text) {
    char buffer[100];
    std::memset(buffer, 'z', sizeof buffer);
    int32_t count = ReadReply(buffer, port, n, clock);
    *text = buffer;
    return count;
  }

  VirtualClock clock;
  SimulatedUnit unit;
  VirtualSerialDevices devices{unit, clock};
  SerialPort port{devices};
};

TEST_F(LinkTest, ReadReplyTakesExactlyTheWantedCountAtOnceAndLeavesTheRest) {
  devices.DeliverToPc("OkOkOk");
  std::string text;
  EXPECT_EQ(Read(2, &text), 2);
  EXPECT_EQ(text, "Ok");
  EXPECT_EQ(clock.NowNs(), 0u);
  EXPECT_EQ(port.BytesPending(), 4u);
  EXPECT_EQ(devices.readRequests(), (std::vector<size_t>{2}));
}

TEST_F(LinkTest, ReadReplyReturnsAPartialReplyAfterTheFullWait) {
  devices.DeliverToPc("abc");
  std::string text;
  EXPECT_EQ(Read(20, &text), 3);
  EXPECT_EQ(text, "abc");
  EXPECT_EQ(clock.NowNs(), 8 * 40 * kMs);
  EXPECT_EQ(port.BytesPending(), 0u);
}

TEST_F(LinkTest, ReadReplyWithNothingArrivingGivesEmptyTextAfterTheFullWait) {
  std::string text;
  EXPECT_EQ(Read(20, &text), 0);
  EXPECT_EQ(text, "");
  EXPECT_EQ(clock.NowNs(), 320 * kMs);
  EXPECT_TRUE(devices.readRequests().empty());
}

TEST_F(LinkTest, ReadReplyStopsWaitingAtTheFirstCheckThatFindsTheReply) {
  port.SendByte('E');  // the unit answers "Ok" as soon as the probe has arrived
  std::string text;
  EXPECT_EQ(Read(2, &text), 2);
  EXPECT_EQ(text, "Ok");
  // The wait began once the probe had left: one 40 ms tick later the reply was there.
  EXPECT_EQ(clock.NowNs(), WireNs(1, 9600) + 40 * kMs);
}

TEST_F(LinkTest, DrainInputReadsInPiecesOfEightyAfterItsSettleTime) {
  devices.DeliverToPc(std::string(200, 'x'));
  DrainInput(port, clock);
  EXPECT_EQ(devices.readRequests(), (std::vector<size_t>{80, 80, 40}));
  EXPECT_EQ(clock.NowNs(), 100 * kMs);
  EXPECT_EQ(port.BytesPending(), 0u);
}

TEST_F(LinkTest, DrainInputAlsoTakesWhatArrivesDuringItsSettleTime) {
  devices.UnitSends(std::string(90, 'y'));  // 93.75 ms at 9600
  DrainInput(port, clock);
  EXPECT_EQ(devices.readRequests(), (std::vector<size_t>{80, 10}));
  EXPECT_EQ(port.BytesPending(), 0u);
}

TEST_F(LinkTest, SleepOfZeroSleepsOneMillisecond) {
  SleepMs(clock, 0);
  EXPECT_EQ(clock.NowNs(), 1 * kMs);
  SleepMs(clock, 25);
  EXPECT_EQ(clock.NowNs(), 26 * kMs);
}

TEST_F(LinkTest, SendTextWritesOnlyTheCharacters) {
  SendText("T", port);
  EXPECT_EQ(devices.written(), "T");
  SendText("A008000", port);
  EXPECT_EQ(devices.written(), "TA008000");
  devices.FinishInFlight();
  EXPECT_EQ(unit.Commands(), (std::vector<std::string>{"T", "A008000"}));
  EXPECT_EQ(unit.stats().bytesReceived, 8u);
}

TEST_F(LinkTest, ClosedPortSendsNothingAndReadsNothingAfterTheWaits) {
  port.Close();
  SendText("E", port);
  EXPECT_EQ(devices.bytesWritten(), 0u);
  std::string text;
  EXPECT_EQ(Read(11, &text), 0);
  EXPECT_EQ(text, "");
  EXPECT_EQ(clock.NowNs(), 320 * kMs);
  DrainInput(port, clock);
  EXPECT_EQ(clock.NowNs(), 420 * kMs);
  EXPECT_TRUE(devices.readRequests().empty());
}

TEST_F(LinkTest, PromptReadReturnsWhenTheReplyIsCompleteAndGivesUpAtTheSameTime) {
  uint64_t advances = 0;
  clock.AddObserver(&advances, [&](uint64_t) { ++advances; });
  char buffer[32];
  // "Ok" is complete once its second byte has arrived; the read wakes at the first byte and then
  // looks every millisecond, so it returns within a millisecond of that, not at 40 ms.
  devices.UnitSends("Ok");
  EXPECT_EQ(ReadReply(buffer, port, 2, clock, ReplyPace::kPrompt), 2);
  EXPECT_STREQ(buffer, "Ok");
  EXPECT_EQ(clock.NowNs(), WireNs(1, 9600) + 2 * kMs);
  EXPECT_GE(clock.NowNs(), WireNs(2, 9600));
  // Three of twenty characters: the read waits the full 320 ms and takes them, checking at most
  // once a millisecond while they wait.
  const uint64_t start = clock.NowNs();
  advances = 0;
  devices.UnitSends("abc");
  EXPECT_EQ(ReadReply(buffer, port, 20, clock, ReplyPace::kPrompt), 3);
  EXPECT_STREQ(buffer, "abc");
  EXPECT_EQ(clock.NowNs(), start + 320 * kMs);
  EXPECT_LE(advances, 325u);
  // Nothing at all: one wait on the line to the end.
  advances = 0;
  EXPECT_EQ(ReadReply(buffer, port, 11, clock, ReplyPace::kPrompt), 0);
  EXPECT_EQ(clock.NowNs(), start + 640 * kMs);
  EXPECT_LE(advances, 2u);
  clock.RemoveObserver(&advances);
}

TEST(VirtualClockTest, MovesOnlyForwardAndTellsItsObservers) {
  VirtualClock clock(5 * kMs);
  std::vector<uint64_t> seen;
  int owner = 0;
  clock.AddObserver(&owner, [&](uint64_t now) { seen.push_back(now); });
  clock.SleepNs(2 * kMs);
  clock.AdvanceTo(4 * kMs);  // the past: no move
  clock.AdvanceTo(9 * kMs);
  clock.RemoveObserver(&owner);
  clock.SleepNs(1 * kMs);
  EXPECT_EQ(clock.NowNs(), 10 * kMs);
  EXPECT_EQ(clock.sleptNs(), 3 * kMs);
  EXPECT_EQ(seen, (std::vector<uint64_t>{7 * kMs, 9 * kMs}));
}

// The virtual line.
class VirtualLineTest : public LinkTest {};

TEST_F(VirtualLineTest, WritesReturnAtOnceAndDrainWaitsForTheWire) {
  const std::string text = "JDOWNLOADING UPDATE\n";
  SendText(text.c_str(), port);
  EXPECT_EQ(clock.NowNs(), 0u);
  EXPECT_TRUE(unit.transcript().empty());  // still on the wire
  port.DrainOutput();
  EXPECT_EQ(clock.NowNs(), WireNs(text.size(), 9600));
  EXPECT_EQ(devices.drainCount(), 1u);
  ASSERT_EQ(unit.transcript().size(), 1u);
  EXPECT_EQ(unit.transcript()[0].timeNs, WireNs(text.size(), 9600));
}

TEST_F(VirtualLineTest, ByteTimesDoNotDriftOverLongRuns) {
  // 347222.2 ns per byte at 28800: per-byte rounding would be off by many microseconds.
  ASSERT_EQ(port.Open("COM1", 28800, 0), kOpenOk);
  for (int i = 0; i < 28800; ++i) port.SendByte(0);
  EXPECT_EQ(devices.pcTransmitterFreeNs(), 10 * 1000000000ull);
}

TEST_F(VirtualLineTest, TheUnitTakesEachByteAtItsArrivalAndAnswersFromThere) {
  clock.AdvanceTo(5 * kMs);
  SendText("EE", port);
  clock.AdvanceTo(5 * kMs + WireNs(1, 9600));
  EXPECT_EQ(unit.transcript().size(), 1u);
  EXPECT_EQ(port.BytesPending(), 0u);  // its reply is only starting
  clock.AdvanceTo(5 * kMs + WireNs(2, 9600));
  EXPECT_EQ(port.BytesPending(), 1u);
  // The second reply queues behind the first on the unit's transmitter.
  clock.AdvanceTo(5 * kMs + WireNs(5, 9600));
  EXPECT_EQ(port.BytesPending(), 4u);
  EXPECT_EQ(unit.transcript()[1].timeNs, 5 * kMs + WireNs(2, 9600));
}

TEST_F(VirtualLineTest, BytesAtTheWrongSpeedAreLostBothWays) {
  // The unit switches to 28800 while the PC stays at 9600: the next probe never arrives.
  SendText("B028800", port);
  port.SendByte('E');
  devices.FinishInFlight();
  EXPECT_EQ(unit.speed(), 28800u);
  EXPECT_EQ(unit.Commands(), (std::vector<std::string>{"B028800"}));
  EXPECT_EQ(devices.bytesLostToSpeedMismatch(), 1u);

  // A reply still on its way when the PC reopens at another speed is lost as well.
  ASSERT_EQ(port.Open("COM1", 28800, 0), kOpenOk);
  port.SendByte('E');
  port.Close();  // drains: the probe has arrived, the reply is only starting
  ASSERT_EQ(port.Open("COM1", 9600, 0), kOpenOk);
  clock.SleepNs(50 * kMs);
  EXPECT_EQ(port.BytesPending(), 0u);
  EXPECT_EQ(devices.bytesLostToSpeedMismatch(), 3u);
}

TEST_F(VirtualLineTest, GarblingLeavesOneNoiseByteOfAReplyAtTheWrongSpeed) {
  devices.SetGarbleOnSpeedMismatch(true);
  port.SendByte('E');
  port.Close();
  ASSERT_EQ(port.Open("COM1", 28800, 0), kOpenOk);
  clock.SleepNs(50 * kMs);
  ASSERT_EQ(port.BytesPending(), 1u);
  uint8_t byte = 0;
  port.Read(&byte, 1);
  EXPECT_NE(byte, 'O');
  EXPECT_NE(byte, 'k');
}

TEST_F(VirtualLineTest, RepliesArrivingWhileThePortIsClosedAreGone) {
  port.SendByte('E');
  port.Close();
  clock.SleepNs(50 * kMs);
  ASSERT_EQ(port.Open("COM1", 9600, 0), kOpenOk);
  EXPECT_EQ(port.BytesPending(), 0u);
}

TEST_F(VirtualLineTest, OpensAreRecordedAndFailForUnknownBusyOrDoubleUse) {
  port.Close();
  EXPECT_EQ(port.Open("COM2", 9600, 0), kOpenFailed);
  devices.SetBusy(true);
  EXPECT_EQ(port.Open("COM1", 9600, 0), kOpenFailed);
  devices.SetBusy(false);
  devices.SetPortNames({"COM1", "COM3"});
  EXPECT_EQ(port.Open("COM3", 14400, 0), kOpenOk);
  std::unique_ptr<SerialLine> second;
  EXPECT_EQ(devices.Open("COM1", 9600, 0, &second), kOpenFailed);  // exclusive access
  EXPECT_EQ(second, nullptr);
  port.Close();
  EXPECT_EQ(port.Open("COM1", 0, 0), kOpenLineSettingsFailed);
  EXPECT_FALSE(port.IsOpen());

  const std::vector<OpenRecord>& opens = devices.opens();
  ASSERT_EQ(opens.size(), 6u);
  EXPECT_EQ(opens[1].name, "COM2");
  EXPECT_EQ(opens[1].result, kOpenFailed);
  EXPECT_EQ(opens[3].name, "COM3");
  EXPECT_EQ(opens[3].speed, 14400);
  EXPECT_EQ(opens[3].parity, 0);
  EXPECT_EQ(opens[3].result, kOpenOk);
  EXPECT_EQ(opens[5].result, kOpenLineSettingsFailed);
}

TEST_F(VirtualLineTest, AnUnpluggedAdapterLosesTheLineForGood) {
  devices.LoseAfterBytesWritten(3);
  SendText("A008000", port);
  EXPECT_TRUE(port.Lost());
  EXPECT_EQ(devices.written(), "A00");
  devices.DeliverToPc("Ok");
  EXPECT_EQ(port.BytesPending(), 0u);
  devices.FinishInFlight();
  EXPECT_TRUE(unit.transcript().empty());  // the unit waits for the rest of the address
  EXPECT_EQ(port.Open("COM1", 9600, 0), kOpenFailed);
  devices.Replug();
  ASSERT_EQ(port.Open("COM1", 9600, 0), kOpenOk);
  EXPECT_FALSE(port.Lost());
}

// One line with the given noise carrying 100 probes and checksum queries: what the unit took
// and what came back.
std::string NoisyTraffic(const LineFaults& faults, uint64_t* injected) {
  VirtualClock clock;
  SimulatedUnit unit;
  VirtualSerialDevices devices{unit, clock};
  devices.SetLineFaults(faults);
  SerialPort port{devices};
  port.Open("COM1", 9600, 0);
  SendText("L000010", port);
  std::string received;
  for (int i = 0; i < 100; ++i) {
    SendText("EA004000C", port);
    port.DrainOutput();
    clock.SleepNs(60 * kMs);
    uint8_t buffer[256];
    uint32_t n = port.Read(buffer, std::min<uint32_t>(port.BytesPending(), sizeof buffer));
    received.append(reinterpret_cast<const char*>(buffer), n);
  }
  *injected = devices.lineFaultsInjected();
  return unit.TranscriptText() + "|" + received;
}

TEST(VirtualLineNoiseTest, LineNoiseIsReproducibleFromItsSeed) {
  LineFaults noisy{42, 0.01, 0.01, 0.01, 0.01, 30};
  uint64_t first = 0;
  uint64_t second = 0;
  uint64_t clean = 0;
  EXPECT_EQ(NoisyTraffic(noisy, &first), NoisyTraffic(noisy, &second));
  EXPECT_GT(first, 10u);
  EXPECT_EQ(first, second);
  LineFaults other = noisy;
  other.seed = 43;
  uint64_t third = 0;
  EXPECT_NE(NoisyTraffic(noisy, &first), NoisyTraffic(other, &third));
  const std::string quiet = NoisyTraffic(LineFaults{}, &clean);
  EXPECT_EQ(clean, 0u);
  EXPECT_EQ(quiet.find('?'), std::string::npos);  // the unit saw no noise
}

}  // namespace
}  // namespace quorel::sim
