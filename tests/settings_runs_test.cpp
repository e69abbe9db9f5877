// Runs one after the other on one unit's memory, on the virtual line: a run cut short at each
// phase of the configuration work, then the runs that follow it. Each is judged by the unit's
// settings against one conversion of the originals worked out by hand (hand_records.h), by what
// the console told the owner, and by the copies kept in the user's state folder.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "os/cancel.h"
#include "serial/line_decorator.h"
#include "sim/sim_session.h"
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
using layout::kConfigEnd;
using layout::kConfigBytes;
using layout::kRecords;
using layout::kRecordV1;
using layout::kRecordV2;
using layout::kRecordV3;
using layout::kReadoutBytes;
using layout::kMovedRecordMark;

using sim::SimSession;
using testing::Dots;
using testing::HideCopyPaths;
using testing::kPrompt;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kArea = kConfigBytes;  // the configuration area, 0x4000..0x7FFF
constexpr uint32_t kMemoryImage = 0x70000;  // what a run hands the next one

// The automatic copies go to a folder of the test's own while it lives.
struct CopyFolder {
  CopyFolder() {
    const char* before = getenv("XDG_STATE_HOME");
    previous = before != nullptr ? before : "";
    char name[] = "/tmp/quorel-copies-XXXXXX";
    path = mkdtemp(name) != nullptr ? name : "/nonexistent-quorel-copies";
    setenv("XDG_STATE_HOME", path.c_str(), 1);
  }
  ~CopyFolder() {
    setenv("XDG_STATE_HOME", previous.c_str(), 1);
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  std::string previous;
  // The copies kept, by name.
  std::vector<std::string> Copies() const {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(path + "/quorel-update", ignored)) {
      const std::string name = entry.path().filename().string();
      if (name.size() > 4 && name.compare(name.size() - 4, 4, ".cfg") == 0) names.push_back(entry.path());
    }
    return names;
  }
  std::string path;
};

Bytes ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

// A QuorelPro on 042303 with six records of the oldest layout. With a moved last record its
// first byte is ':', so the write-back puts it in the fifth record's place and nothing past
// 0x8000: the code region, and with it the identification, stays as it was.
Bytes OldProUnit(bool lastRecordMoved) {
  sim::SimulatedUnit unit;
  unit.SetCodeRegionChecksum(
      testing::ChecksumOfRelease(CompiledPayload(), kProModel, 0x042303));
  unit.WriteConfigRecords(kRecordV1, 5, true);
  if (lastRecordMoved) {  // outside the record's sum
    unit.memory()[kConfigBase + 5 * kRecordV1] = kMovedRecordMark;
  }
  return Bytes(unit.memory().begin(), unit.memory().begin() + kMemoryImage);
}

// The area 0x4000..0x81CF after one conversion of the unit's original records to the newest
// layout, each record where the write-back puts it.
Bytes ConvertedOnce(const Bytes& original) {
  const Bytes converted = testing::HandConvertedRegion(original.data() + kConfigBase, 1, true);
  const auto from = original.begin() + kConfigBase;
  Bytes area(from, from + layout::kBufferBytes);
  constexpr uint32_t kSize = kRecordV3;
  for (uint32_t i = 0; i < kRecords; ++i) {
    const bool moved = i == 5 && converted[5 * kSize] == kMovedRecordMark;
    const uint32_t at = moved ? 4 * kSize : i * kSize;
    const auto record = converted.begin() + i * kSize;
    std::copy(record, record + kSize, area.begin() + at);
  }
  return area;
}

void Load(SimSession& s, const Bytes& memory) {
  std::copy(memory.begin(), memory.end(), s.unit.memory().begin());
}
Bytes Memory(const SimSession& s) {
  return Bytes(s.unit.memory().begin(), s.unit.memory().begin() + kMemoryImage);
}
bool AreaIs(const SimSession& s, const Bytes& area, uint32_t length = kArea) {
  return testing::MemoryEquals(s.unit, kConfigBase, area.data(), length);
}
// Data blocks the run wrote into the configuration area.
size_t ConfigBlocks(const SimSession& s) {
  size_t blocks = 0;
  for (const auto& [address, count] : s.unit.stats().dataBlocksAt) {
    if (address >= kConfigBase && address < kConfigEnd) blocks += count;
  }
  return blocks;
}

// Raises the cancellation flag, as a Ctrl-C would, once the unit has taken each given number of
// data blocks in full.
class CancelAfterBlocks : public DevicesDecorator {
 public:
  CancelAfterBlocks(SerialDevices& inner, const sim::SimulatedUnit& unit, std::vector<uint64_t> at)
      : DevicesDecorator(inner), unit_(unit), at_(std::move(at)) {}

 protected:
  std::unique_ptr<SerialLine> Decorate(const char*, int32_t, OpenResult,
                                       std::unique_ptr<SerialLine> line) override {
    return line ? std::make_unique<Line>(std::move(line), *this) : nullptr;
  }

 private:
  struct Line : LineDecorator {
    Line(std::unique_ptr<SerialLine> line, CancelAfterBlocks& owner)
        : LineDecorator(std::move(line)), devices(owner) {}
    void Write(const uint8_t* data, size_t count) override {
      LineDecorator::Write(data, count);
      auto& d = devices;
      if (d.next_ < d.at_.size() && d.unit_.stats().dataBlocks >= d.at_[d.next_]) {
        ++d.next_;
        RequestCancel();
      }
    }
    CancelAfterBlocks& devices;
  };
  const sim::SimulatedUnit& unit_;
  std::vector<uint64_t> at_;
  size_t next_ = 0;
};

struct CutRun {
  int status = -1;
  std::string output;
  Bytes memory;
  bool flashed = false;
  uint64_t configBlocks = 0;
};

// A run cut short by Ctrl-C after the given numbers of blocks. The flag cannot be lowered again,
// so the run goes in a child process, which leaves its results in files of the copy folder.
CutRun RunWithCtrlC(const CopyFolder& folder, const Bytes& memory, std::vector<uint64_t> at) {
  const std::string results = folder.path + "/results";
  pid_t child = testing::ForkChild([&] {
    auto s = std::make_unique<SimSession>();
    Load(*s, memory);
    CancelAfterBlocks devices(s->devices, s->unit, at);
    ScriptedConsole console;
    UpdateState state(devices, s->clock, console, s->payload);
    const char* argv[] = {"quorel-update"};
    const int status = RunUpdate(state, 1, argv);
    s->devices.Settle();
    std::ofstream out(results, std::ios::binary);
    out << status << (s->unit.flashed() ? 'F' : '-') << ConfigBlocks(*s) << '\x1f'
        << console.output() << '\x1f';
    out.write(reinterpret_cast<const char*>(s->unit.memory().data()), kMemoryImage);
    return out.good() ? 0 : 90;
  });
  CutRun run;
  if (testing::WaitChild(child, 30000) != 0) return run;
  const Bytes all = ReadAll(results);
  const std::string text(all.begin(), all.end() - kMemoryImage);
  const size_t a = text.find('\x1f');
  run.status = std::stoi(text.substr(0, 3));
  run.flashed = text.find('F') < a;
  run.configBlocks = std::stoull(text.substr(text.find_first_of("F-") + 1, a));
  run.output = text.substr(a + 1, text.size() - a - 2);
  run.memory.assign(all.end() - kMemoryImage, all.end());
  return run;
}

size_t Occurrences(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

const std::string kFinishing =
    "\nInterrupted: finishing writing the settings back first (Ctrl-C again stops at once)\n";
const std::string kInterrupted = "\nInterrupted. The unit was not flashed. Update exiting\n";

TEST(SettingsRuns, DownloadCutShortThenRunAgainConvertsTheSettingsOnce) {
  CopyFolder folder;
  const Bytes original = OldProUnit(true);
  SimSession first;
  Load(first, original);
  first.unit.faults().silentAfterBlocks = 66 + 4;  // the six records, then four image blocks
  EXPECT_EQ(first.Run(), 0);
  EXPECT_NE(first.console.output().find("Sending SW update...."), std::string::npos);
  EXPECT_FALSE(first.unit.flashed());
  // The copy holds the records as they were read, and is named by model, release and time.
  const std::vector<std::string> copies = folder.Copies();
  ASSERT_EQ(copies.size(), 1u);
  const auto area = original.begin() + kConfigBase;
  EXPECT_EQ(ReadAll(copies[0]), Bytes(area, area + kReadoutBytes));
  EXPECT_EQ(copies[0].rfind(folder.path + "/quorel-update/QuorelPro-042303-", 0), 0u);
  EXPECT_NE(first.console.output().find("\nCopy of the settings kept in " + copies[0] + "\n"),
            std::string::npos);

  SimSession second;
  Load(second, Memory(first));
  EXPECT_EQ(second.Run(), 1);
  EXPECT_NE(second.console.output().find(
                "firmware rev 042303.\nUpdate proceeding..\n\nReading config data..\n" + Dots(14) +
                "\nSettings already converted by an earlier run: nothing to convert or write "
                "back\n\nSending SW update"),
            std::string::npos);
  EXPECT_TRUE(second.unit.flashed());
  EXPECT_EQ(ConfigBlocks(second), 0u);
  EXPECT_TRUE(AreaIs(second, ConvertedOnce(original)));
  EXPECT_EQ(folder.Copies().size(), 1u);  // none of settings found converted
}

TEST(SettingsRuns, CtrlCDuringTheWriteBackFinishesItAndTheNextRunConvertsNothing) {
  CopyFolder folder;
  const Bytes original = OldProUnit(false);
  const CutRun cut = RunWithCtrlC(folder, original, {3});
  EXPECT_EQ(cut.status, 130);
  EXPECT_EQ(Occurrences(cut.output, kFinishing), 1u) << cut.output;
  EXPECT_EQ(cut.output.substr(cut.output.size() - kInterrupted.size()), kInterrupted);
  EXPECT_FALSE(cut.flashed);
  EXPECT_EQ(cut.configBlocks, 65u);  // the 66th, the last record's last, starts at 0x80D8
  // The whole of the last record, beyond 0x8000 too, is in place.
  const Bytes expected = ConvertedOnce(original);
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), cut.memory.begin() + kConfigBase));

  // The last record changed the code region's bytes past 0x8000: the unit is not recognised,
  // its first record is of no older layout, and the update converts nothing.
  SimSession next;
  Load(next, cut.memory);
  EXPECT_EQ(next.Run({}, "y"), 1);
  EXPECT_EQ(next.console.output().find("Reading config data"), std::string::npos);
  EXPECT_TRUE(next.unit.flashed());
  EXPECT_EQ(ConfigBlocks(next), 0u);
  EXPECT_TRUE(AreaIs(next, expected));
}

TEST(SettingsRuns, SecondCtrlCStopsAtOnceAndTheCopyPutsTheSettingsBack) {
  CopyFolder folder;
  const Bytes original = OldProUnit(false);
  const CutRun cut = RunWithCtrlC(folder, original, {3, 14});
  EXPECT_EQ(cut.status, 130);
  EXPECT_LT(cut.configBlocks, 20u);
  EXPECT_FALSE(cut.flashed);
  const std::vector<std::string> copies = folder.Copies();
  ASSERT_EQ(copies.size(), 1u);
  const std::string tail = kInterrupted + testing::kRestoreFromThisRun;
  const std::string shown = HideCopyPaths(cut.output);
  EXPECT_EQ(Occurrences(shown, kFinishing), 1u);
  ASSERT_GE(shown.size(), tail.size());
  EXPECT_EQ(shown.substr(shown.size() - tail.size()), tail);
  EXPECT_NE(cut.output.find("--restore-config " + copies[0] + "\n"), std::string::npos);

  // The next run finds the records partly written and stops before writing, naming the copy.
  SimSession stop;
  Load(stop, cut.memory);
  EXPECT_EQ(stop.Run(), 0);
  const std::string stopTail =
      "Reading config data..\n" + Dots(14) +
      "\nThe unit's settings are partly written: an earlier run was cut short while writing them "
      "back\n(1 of the six records are in the new layout, the others are not).\n"
      "Converting them again would lose them: nothing was written to the unit and it was not "
      "flashed.\n"
      "To put the settings back, put the unit in update mode again and run this\n"
      "command, with your port option (--port or -cX) added:\n"
      "  copy of " + copies[0].substr(copies[0].size() - 20, 4) + "-" +
      copies[0].substr(copies[0].size() - 16, 2) + "-" + copies[0].substr(copies[0].size() - 14, 2) +
      " " + copies[0].substr(copies[0].size() - 11, 2) + ":" +
      copies[0].substr(copies[0].size() - 9, 2) + ":" + copies[0].substr(copies[0].size() - 7, 2) +
      " UTC:\n    quorel-update --restore-config " + copies[0] + "\nUpdate exiting\n" + kPrompt;
  const std::string out = stop.console.output();
  ASSERT_GE(out.size(), stopTail.size());
  EXPECT_EQ(out.substr(out.size() - stopTail.size()), stopTail);
  EXPECT_EQ(ConfigBlocks(stop), 0u);
  EXPECT_FALSE(stop.unit.flashed());
  EXPECT_EQ(stop.unit.Commands().back(), "X");

  // --identify says so too, and writes nothing.
  SimSession look;
  Load(look, cut.memory);
  EXPECT_EQ(look.Run({"--identify"}), 1);
  EXPECT_NE(look.console.output().find(
                "\nSettings found: partly written (an earlier run was cut short while writing "
                "them back)\n"),
            std::string::npos);
  EXPECT_EQ(look.unit.stats().dataBlocks, 0u);

  // The copy puts them back: converted from it, written, verified, flashed.
  SimSession restore;
  Load(restore, cut.memory);
  EXPECT_EQ(restore.Run({"--restore-config", copies[0]}), 1);
  EXPECT_NE(restore.console.output().find("\nSettings to write: the copy " + copies[0] +
                                          " (oldest layout, converted to the newest layout)\n"),
            std::string::npos);
  EXPECT_EQ(restore.console.output().find("Reading config data"), std::string::npos);
  EXPECT_TRUE(restore.unit.flashed());
  EXPECT_TRUE(AreaIs(restore, ConvertedOnce(original)));
  EXPECT_EQ(folder.Copies().size(), 1u);
}

TEST(SettingsRuns, AnUnknownUnitCutInTheWriteBackIsStoppedByItsCopy) {
  // Not identified: its first record, now of the newest layout, is of no older one. The copy of
  // the same checksum says an earlier run converted it, so the records are read and judged.
  CopyFolder folder;
  Bytes original = OldProUnit(false);
  SimSession first;
  Load(first, original);
  first.unit.SetCodeRegionChecksum(0x123456);
  first.unit.faults().silentAfterBlocks = 13;
  EXPECT_EQ(first.Run({}, "y"), 0);
  ASSERT_EQ(folder.Copies().size(), 1u);
  EXPECT_NE(folder.Copies()[0].find("/QuorelPro-csum123456-"), std::string::npos);

  SimSession next;
  Load(next, Memory(first));
  EXPECT_EQ(next.Run({}, "y"), 0);
  EXPECT_NE(next.console.output().find(
                "Checking config data..\nReading config data..\n" + Dots(14) +
                "\nThe unit's settings are partly written"),
            std::string::npos);
  EXPECT_EQ(next.unit.stats().dataBlocks, 0u);
  EXPECT_FALSE(next.unit.flashed());
}

// A unit no row identifies, its records of the middle layout: a write-back cut short leaves a
// first record of the newest layout, which by itself calls for no conversion. The next run must
// not flash that mix: the copy kept for this unit sends it to look at the six records.
TEST(SettingsRuns, AnUnknownUnitsWriteBackCutShortIsFoundThoughItsFirstRecordIsConverted) {
  CopyFolder folder;
  sim::SimulatedUnit unit;
  unit.SetCodeRegionChecksum(0x123456);
  unit.WriteConfigRecords(kRecordV2, 7, true);
  const Bytes original(unit.memory().begin(), unit.memory().begin() + kMemoryImage);
  const Bytes converted = testing::HandConvertedRegion(original.data() + kConfigBase, 2, true);

  SimSession first;
  Load(first, original);
  first.unit.faults().silentAfterBlocks = 15;  // record 0 and four blocks of record 1
  EXPECT_EQ(first.Run({}, "y"), 0);
  ASSERT_EQ(folder.Copies().size(), 1u);
  const std::string copy = folder.Copies()[0];
  ASSERT_TRUE(testing::MemoryEquals(first.unit, kConfigBase, converted.data(), kRecordV3));

  SimSession second;
  Load(second, Memory(first));
  EXPECT_EQ(second.Run({}, "y"), 0);
  const std::string& said = second.console.output();
  EXPECT_NE(said.find("Checking config data..\nReading config data..\n" + Dots(14) +
                      "\nThe unit's settings are partly written"),
            std::string::npos)
      << said;
  EXPECT_NE(said.find("--restore-config " + copy + "\n"), std::string::npos) << said;
  EXPECT_FALSE(second.unit.flashed());
  EXPECT_EQ(ConfigBlocks(second), 0u);

  SimSession third;
  Load(third, Memory(second));
  EXPECT_EQ(third.Run({"--restore-config", copy}, "y"), 1);
  EXPECT_TRUE(third.unit.flashed());
  EXPECT_TRUE(AreaIs(third, Bytes(converted.begin(), converted.begin() + kArea)));
}

TEST(SettingsRuns, ACopyOrAFolderThatCannotServeEndsBeforeAnythingIsWritten) {
  CopyFolder folder;
  // A copy of the wrong size, and one whose records do not pass: refused before any port opens.
  const std::string shortCopy = folder.path + "/short.cfg";
  const std::string badCopy = folder.path + "/bad.cfg";
  std::ofstream(shortCopy, std::ios::binary) << std::string(kReadoutBytes - 1, '\0');
  std::ofstream(badCopy, std::ios::binary) << std::string(kReadoutBytes, '\x11');
  for (const auto& [path, why] :
       {std::pair<std::string, std::string>{shortCopy, "it holds 15071 bytes, a copy holds 15072"},
        {badCopy, "not all six records pass their checksum test in one layout"}}) {
    SimSession s;
    Load(s, OldProUnit(false));
    EXPECT_EQ(s.Run({"--restore-config", path}), 0);
    EXPECT_EQ(s.console.output(), testing::kBanner + "Error, cannot restore the settings from " +
                                      path + ": " + why + "\n" + kPrompt);
    EXPECT_TRUE(s.unit.Commands().empty());
  }

  // A state folder that cannot be made: the run ends after the readout, before any write.
  const std::string notAFolder = folder.path + "/file";
  std::ofstream(notAFolder) << "x";
  setenv("XDG_STATE_HOME", notAFolder.c_str(), 1);
  SimSession s;
  Load(s, OldProUnit(false));
  EXPECT_EQ(s.Run(), 0);
  const std::string out = s.console.output();
  EXPECT_NE(out.find(Dots(14) + "\nError, cannot keep a copy of the unit's settings in the folder " +
                     notAFolder + "/quorel-update ("),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("Nothing was written to the unit. To keep the copy elsewhere, run again "
                     "with\n--save-config FILE. Update exiting\n" + kPrompt),
            std::string::npos);
  EXPECT_EQ(s.unit.stats().dataBlocks, 0u);
  EXPECT_EQ(s.unit.Commands().back(), "X");
}

}  // namespace
}  // namespace quorel
