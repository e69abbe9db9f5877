// The firmware payload compiled into the updater (its images, its release table and the lookups
// that identify a unit), and quorel-payload-gen, which builds it and must stop the build on bad
// inputs with a message naming the file and the fault.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "payload/payload.h"
#include "sim/unit_layout.h"
#include "support/run_program.h"
#include "payload/release_code.h"

namespace quorel {
namespace {

// The unit's memory map and record layouts, as the simulated unit describes them.
namespace layout = sim::layout;

const FirmwarePayload& Payload() { return CompiledPayload(); }
const ReleaseTable& Table() { return CompiledPayload().releaseTable; }

uint32_t ByteSum(const uint8_t* bytes, uint32_t begin, uint32_t end) {
  uint32_t sum = 0;
  for (uint32_t i = begin; i < end; ++i) sum += bytes[i];
  return sum;
}

bool AllZero(const uint8_t* bytes, uint32_t begin, uint32_t end) {
  for (uint32_t i = begin; i < end; ++i) {
    if (bytes[i] != 0) return false;
  }
  return true;
}

// Unit addresses of the all-zero blocks among the download blocks of [begin, end): 1024 bytes
// each, the last one shorter. image holds unit address `base` at index 0.
std::vector<uint32_t> ZeroBlocks(const uint8_t* image, uint32_t base, uint32_t begin,
                                 uint32_t end) {
  std::vector<uint32_t> zero;
  for (uint32_t address = begin; address < end; address += 1024) {
    uint32_t blockEnd = address + 1024 < end ? address + 1024 : end;
    if (AllZero(image, address - base, blockEnd - base)) zero.push_back(address);
  }
  return zero;
}

// ---------------------------------------------------------------------------------------------
// The compiled payload

TEST(CompiledPayload, IsAProPayloadOfRelease020904) {
  EXPECT_EQ(Payload().productKind, kProModel);
  EXPECT_EQ(Payload().releaseCode, 0x020904u);
  EXPECT_EQ(Table().rows, 162u);
}

TEST(CompiledPayload, CodeRegionOfSwImageSumsToThePayloadsOwnRow) {
  const uint8_t* sw = Payload().SwImage;
  uint32_t sum = ByteSum(sw, layout::kCodeRegionStart,
                         layout::kCodeRegionStart + layout::kCodeRegionLength);
  EXPECT_EQ(sum, 0x4A80EBu);
  uint32_t row = FindReleaseRow(Table(), sum);
  ASSERT_LT(row, Table().rows);
  EXPECT_EQ(Table().kind[row], Payload().productKind);
  EXPECT_EQ(Table().code[row], Payload().releaseCode);
}

TEST(CompiledPayload, SwImageStretches) {
  const uint8_t* sw = Payload().SwImage;
  // Boot code up to 0x8BB, then zero to the configuration area, which is zero throughout.
  EXPECT_NE(sw[0x008BB], 0);
  EXPECT_TRUE(AllZero(sw, 0x008BC, layout::kConfigBase));
  EXPECT_TRUE(AllZero(sw, layout::kConfigBase, layout::kConfigEnd));
  // Main code from 0x8000 up to 0x206D8, then zero to the end of the image.
  EXPECT_NE(sw[layout::kMainSecond.start], 0);
  EXPECT_NE(sw[0x206D8], 0);
  EXPECT_TRUE(AllZero(sw, 0x206D9, layout::kMainSecond.end));
}

TEST(CompiledPayload, AllZeroDownloadBlocksAreTheExpectedOnes) {
  // Zero blocks pass verification even without a reply, so which ones there are matters to the
  // download: the 13 after the boot code in the first range, none in the second range, and 14
  // in the second image.
  const uint8_t* sw = Payload().SwImage;
  std::vector<uint32_t> expected;
  for (uint32_t address = 0x00C00; address <= 0x03C00; address += 1024) {
    expected.push_back(address);
  }
  EXPECT_EQ(ZeroBlocks(sw, 0, layout::kMainFirst.start, layout::kMainFirst.end), expected);
  EXPECT_EQ(ZeroBlocks(sw, 0, layout::kMainSecond.start, layout::kMainSecond.end),
            std::vector<uint32_t>());
  const layout::Range second = layout::kSecondImage;
  std::vector<uint32_t> hwZero = ZeroBlocks(Payload().HwImage, second.start, second.start,
                                            second.end);
  EXPECT_EQ(hwZero.size(), 14u);
  // The 30-byte last block.
  EXPECT_FALSE(AllZero(Payload().HwImage, 0x2C000, second.end - second.start));
}

// ---------------------------------------------------------------------------------------------
// The release table

struct Row {
  uint32_t index;
  uint32_t kind;
  uint32_t code;
  uint32_t checksum;
};

TEST(ReleaseTable, TellingRows) {
  const Row kTelling[] = {
      {0, 0, 0x030303, 0x004C9B93},   {1, 1, 0x000000, 0x00000001},
      {32, 0, 0x042303, 0x00000000},  {54, 0, 0x062903, 0x004D67B3},
      {57, 0, 0x070303, 0x004D67B3},  {81, 0, 0x083003, 0x004C3260},
      {82, 0, 0x083003, 0x004C3260},  {83, 1, 0x083003, 0x004C3260},
      {94, 0, 0x091103, 0x004C0AC6},  {95, 1, 0x091103, 0x004C20E2},
      {98, 1, 0x091503, 0x004C0AC6},  {99, 1, 0x091503, 0x004C20E2},
      {103, 1, 0x091603, 0x004C20E2}, {107, 1, 0x091803, 0x004C20E2},
      {158, 0, 0x020904, 0x004AA4BE}, {159, 0, 0x020904, 0x004AEFD5},
      {160, 1, 0x020904, 0x004A80EB}, {161, 1, 0x020904, 0x004A6E04},
  };
  for (const Row& row : kTelling) {
    EXPECT_EQ(Table().kind[row.index], row.kind) << "row " << row.index;
    EXPECT_EQ(Table().code[row.index], row.code) << "row " << row.index;
    EXPECT_EQ(Table().checksum[row.index], row.checksum) << "row " << row.index;
  }
}

TEST(ReleaseTable, LookupTakesTheFirstMatchingRow) {
  EXPECT_EQ(FindReleaseRow(Table(), 0x4A80EB), 160u);  // the payload's own build
  EXPECT_EQ(FindReleaseRow(Table(), 0x4C0AC6), 94u);   // base row before Pro row 98
  EXPECT_EQ(FindReleaseRow(Table(), 0x4C20E2), 95u);   // before rows 99, 103 and 107
  EXPECT_EQ(FindReleaseRow(Table(), 0x4C3260), 81u);   // base rows 81 and 82 before Pro row 83
  EXPECT_EQ(FindReleaseRow(Table(), 0x4D67B3), 54u);   // 062903 before 070303
  EXPECT_EQ(FindReleaseRow(Table(), 0), 32u);
  EXPECT_EQ(FindReleaseRow(Table(), 1), 1u);
  for (uint32_t unknown : {0x4A80EAu, 0x4A80ECu, 2u, 0xFFFFFFFFu, 0x12345678u}) {
    EXPECT_EQ(FindReleaseRow(Table(), unknown), 162u) << std::hex << unknown;
  }
}

TEST(ReleaseTable, OnlyTheKnownGroupsShareAChecksum) {
  std::map<uint32_t, std::vector<uint32_t>> rowsByChecksum;
  for (uint32_t i = 0; i < Table().rows; ++i) rowsByChecksum[Table().checksum[i]].push_back(i);
  std::set<std::vector<uint32_t>> shared;
  for (const auto& entry : rowsByChecksum) {
    if (entry.second.size() > 1) shared.insert(entry.second);
  }
  std::set<std::vector<uint32_t>> expected = {
      {54, 57}, {81, 82, 83}, {94, 98}, {95, 99, 103, 107}};
  EXPECT_EQ(shared, expected);
  // Row 82 repeats row 81 exactly.
  EXPECT_EQ(Table().kind[82], Table().kind[81]);
  EXPECT_EQ(Table().code[82], Table().code[81]);
}

TEST(ReleaseTable, OnlyRowsOneAndThirtyTwoHoldTinyChecksums) {
  for (uint32_t i = 0; i < Table().rows; ++i) {
    if (i == 1 || i == 32) continue;
    EXPECT_GE(Table().checksum[i], 0x400000u) << "row " << i;
    EXPECT_LT(Table().checksum[i], 0x500000u) << "row " << i;
  }
}

TEST(ReleaseTable, KindsAndCodesAreInRange) {
  for (uint32_t i = 0; i < Table().rows; ++i) {
    EXPECT_LE(Table().kind[i], 1u) << "row " << i;
    EXPECT_LE(Table().code[i], 0xFFFFFFu) << "row " << i;
  }
}

TEST(ReleaseTable, RowsAreGroupedByReleaseWithThePayloadsLast) {
  std::vector<uint32_t> groupCodes;
  std::vector<uint32_t> groupStarts;
  for (uint32_t i = 0; i < Table().rows; ++i) {
    if (i == 0 || Table().code[i] != Table().code[i - 1]) {
      groupCodes.push_back(Table().code[i]);
      groupStarts.push_back(i);
    }
  }
  std::set<uint32_t> distinct(groupCodes.begin(), groupCodes.end());
  EXPECT_EQ(distinct.size(), groupCodes.size()) << "a release's rows are split";
  EXPECT_EQ(distinct.size(), 58u);
  EXPECT_EQ(groupCodes.front(), 0x030303u);
  EXPECT_EQ(groupCodes.back(), 0x020904u);
  // The payload's release: two base rows, then two Pro rows.
  EXPECT_EQ(groupStarts.back(), 158u);
  // From the early build at row 1 on, each release is newer than the one before it.
  for (size_t g = 2; g < groupCodes.size(); ++g) {
    EXPECT_EQ(CompareReleaseCodes(groupCodes[g - 1], groupCodes[g]), -1)
        << std::hex << groupCodes[g - 1] << " before " << groupCodes[g];
  }
}

TEST(ReleaseTable, ReleasesAroundTheUpdateThresholdsIdentifyBothModels) {
  // Configuration conversion and the second image are decided by release; these releases sit on
  // either side of those thresholds, and a unit of either model running them can be identified.
  for (uint32_t code : {0x042303u, 0x042803u, 0x050803u, 0x093003u, 0x101003u, 0x101203u,
                        0x110503u, 0x110603u, 0x111103u, 0x123103u, 0x011204u}) {
    for (uint32_t kind : {kBaseModel, kProModel}) {
      bool identifiable = false;
      for (uint32_t i = 0; i < Table().rows; ++i) {
        if (Table().code[i] == code && Table().kind[i] == kind &&
            FindReleaseRow(Table(), Table().checksum[i]) == i) {
          identifiable = true;
        }
      }
      EXPECT_TRUE(identifiable) << std::hex << "release " << code << " kind " << kind;
    }
  }
}

// ---------------------------------------------------------------------------------------------
// The generator

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

std::string Hex(const char* format, uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

// The numbers of the generated array `name`, in order.
std::vector<uint64_t> GeneratedArray(const std::string& source, const std::string& name) {
  std::vector<uint64_t> values;
  size_t start = source.find(" " + name + "[");
  if (start == std::string::npos) return values;
  start = source.find('{', start);
  size_t end = source.find("};", start);
  const char* p = source.c_str() + start + 1;
  const char* stop = source.c_str() + end;
  while (p < stop) {
    char* next;
    unsigned long long value = std::strtoull(p, &next, 0);
    if (next == p) {
      ++p;
      continue;
    }
    values.push_back(value);
    p = next;
  }
  return values;
}

// Each test writes valid inputs made from the compiled payload into its own directory, spoils
// one thing and runs the generator on them.
class PayloadGenerator : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "quorel-payload-XXXXXX";
    ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
    dir_ = pattern;
    sw_.assign(Payload().SwImage, Payload().SwImage + layout::kMainSecond.end);
    hw_.assign(Payload().HwImage,
               Payload().HwImage + layout::kSecondImage.end - layout::kSecondImage.start);
    // Line 1 a comment, line 2 the payload line, row i on line 3 + i.
    lines_.push_back("# test table");
    lines_.push_back("payload 1 020904");
    for (uint32_t i = 0; i < Table().rows; ++i) {
      lines_.push_back(std::to_string(Table().kind[i]) + " " + Hex("%06X", Table().code[i]) +
                       " " + Hex("%08X", Table().checksum[i]));
    }
  }

  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string SwPath() const { return dir_ + "/sw.bin"; }
  std::string HwPath() const { return dir_ + "/hw.bin"; }
  std::string TablePath() const { return dir_ + "/table.txt"; }
  std::string OutPath() const { return dir_ + "/payload_data.cpp"; }

  testing::ProgramRun Generate(const std::string& separator = "\n") {
    WriteBytes(SwPath(), sw_);
    WriteBytes(HwPath(), hw_);
    std::string text;
    for (const std::string& line : lines_) text += line + separator;
    std::ofstream(TablePath(), std::ios::binary) << text;
    return testing::RunProgram(QUOREL_PAYLOAD_GEN_BINARY,
                               {SwPath(), HwPath(), TablePath(), OutPath()});
  }

  // The run failed with exactly this message and wrote no output.
  void ExpectFault(const std::string& message) {
    testing::ProgramRun run = Generate();
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.err, message + "\n");
    EXPECT_EQ(run.out, "");
    EXPECT_FALSE(std::filesystem::exists(OutPath()));
    EXPECT_FALSE(std::filesystem::exists(OutPath() + ".tmp"));
  }

  std::string dir_;
  std::vector<uint8_t> sw_;
  std::vector<uint8_t> hw_;
  std::vector<std::string> lines_;
};

TEST_F(PayloadGenerator, WritesTheInputsIntoTheSource) {
  testing::ProgramRun run = Generate();
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(run.err, "");
  std::string source = ReadText(OutPath());
  EXPECT_EQ(GeneratedArray(source, "kSwImage"), std::vector<uint64_t>(sw_.begin(), sw_.end()));
  EXPECT_EQ(GeneratedArray(source, "kHwImage"), std::vector<uint64_t>(hw_.begin(), hw_.end()));
  std::vector<uint64_t> kinds, codes, checksums;
  for (uint32_t i = 0; i < Table().rows; ++i) {
    kinds.push_back(Table().kind[i]);
    codes.push_back(Table().code[i]);
    checksums.push_back(Table().checksum[i]);
  }
  EXPECT_EQ(GeneratedArray(source, "kReleaseKinds"), kinds);
  EXPECT_EQ(GeneratedArray(source, "kReleaseCodes"), codes);
  EXPECT_EQ(GeneratedArray(source, "kReleaseChecksums"), checksums);
  EXPECT_NE(source.find("kSwImage, kHwImage, 1, 0x020904,"), std::string::npos);
  EXPECT_NE(source.find("const FirmwarePayload& CompiledPayload()"), std::string::npos);
}

TEST_F(PayloadGenerator, ReadsCommentsBlankLinesTabsAndCrLf) {
  ASSERT_EQ(Generate().exitStatus, 0);
  std::string plain = ReadText(OutPath());
  lines_[0] = "";
  lines_[1] = "\tpayload  1\t020904   # Pro, February";
  lines_[2] += "  # first row";
  lines_.insert(lines_.begin() + 3, "   # a comment between rows");
  lines_.insert(lines_.begin() + 3, "");
  lines_.push_back("# end");
  testing::ProgramRun run = Generate("\r\n");
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(ReadText(OutPath()), plain);
}

TEST_F(PayloadGenerator, RejectsImagesOfTheWrongSize) {
  sw_.pop_back();
  ExpectFault(SwPath() + ": size is 132913 bytes, expected 132914 (0x20732)");
  sw_.push_back(0);
  hw_.push_back(0);
  ExpectFault(HwPath() + ": size is 180255 bytes, expected 180254 (0x2C01E)");
}

TEST_F(PayloadGenerator, RejectsAnSwImageWithDataInTheConfigurationArea) {
  sw_[layout::kConfigBase] = 0x01;
  ExpectFault(SwPath() + ": byte at 0x04000 is 0x01; bytes 0x04000..0x07FFF (the unit's "
              "configuration area) must all be zero");
  sw_[layout::kConfigBase] = 0;
  sw_[layout::kConfigEnd - 1] = 0xA5;
  ExpectFault(SwPath() + ": byte at 0x07FFF is 0xA5; bytes 0x04000..0x07FFF (the unit's "
              "configuration area) must all be zero");
}

TEST_F(PayloadGenerator, RejectsMissingInputs) {
  testing::ProgramRun run = testing::RunProgram(
      QUOREL_PAYLOAD_GEN_BINARY, {dir_ + "/none.bin", HwPath(), TablePath(), OutPath()});
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(run.err, dir_ + "/none.bin: cannot open: No such file or directory\n");
  run = testing::RunProgram(QUOREL_PAYLOAD_GEN_BINARY, {SwPath(), HwPath(), TablePath()});
  EXPECT_EQ(run.exitStatus, 2);
  EXPECT_EQ(run.err, "usage: quorel-payload-gen SW_IMAGE HW_IMAGE RELEASE_TABLE OUTPUT.cpp\n");
}

TEST_F(PayloadGenerator, RejectsAWrongRowCount) {
  std::vector<std::string> full = lines_;
  lines_.erase(lines_.begin() + 2 + 100);
  ExpectFault(TablePath() + ": has 161 rows, expected 162");
  lines_ = full;
  lines_.insert(lines_.begin() + 2 + 100, lines_[2 + 100]);
  ExpectFault(TablePath() + ": has 163 rows, expected 162");
}

TEST_F(PayloadGenerator, RejectsFieldsOutOfRange) {
  std::vector<std::string> good = lines_;
  lines_[2 + 10] = "2 032103 004C876F";
  ExpectFault(TablePath() + ":13: kind 2 is not 0 or 1");
  lines_ = good;
  lines_[2 + 10] = "0 1032103 004C876F";
  ExpectFault(TablePath() + ":13: release code 1032103 does not fit 24 bits");
  lines_ = good;
  lines_[2 + 10] = "0 032103 1004C876F";
  ExpectFault(TablePath() + ":13: checksum 1004C876F does not fit 32 bits");
  lines_ = good;
  lines_[2 + 10] = "0 032103 100000000000000000000";  // more than 64 bits
  ExpectFault(TablePath() + ":13: checksum 100000000000000000000 does not fit 32 bits");
  lines_ = good;
  lines_[1] = "payload 3 020904";
  ExpectFault(TablePath() + ":2: kind 3 is not 0 or 1");
}

TEST_F(PayloadGenerator, RejectsMalformedLines) {
  std::vector<std::string> good = lines_;
  struct Case {
    std::string line;
    std::string message;
  };
  const Case kCases[] = {
      {"0 032103", "malformed line \"0 032103\": expected a row 'KIND CODE CHECKSUM' or "
                   "'payload KIND CODE'"},
      {"0 032103 004C876F 1", "malformed line \"0 032103 004C876F 1\": expected a row "
                              "'KIND CODE CHECKSUM' or 'payload KIND CODE'"},
      {"0 03210g 004C876F", "release code '03210g' is not a hexadecimal number"},
      {"0x0 032103 004C876F", "kind '0x0' is not a hexadecimal number"},
      {"0 032103 -04C876F", "checksum '-04C876F' is not a hexadecimal number"},
  };
  for (const Case& c : kCases) {
    lines_ = good;
    lines_[2 + 10] = c.line;
    ExpectFault(TablePath() + ":13: " + c.message);
  }
  lines_ = good;
  lines_[1] = "payload 1";
  ExpectFault(TablePath() + ":2: malformed payload line \"payload 1\": expected 'payload KIND "
              "CODE'");
}

TEST_F(PayloadGenerator, RejectsAMissingMisplacedOrRepeatedPayloadLine) {
  std::vector<std::string> good = lines_;
  lines_.erase(lines_.begin() + 1);
  ExpectFault(TablePath() + ": no 'payload KIND CODE' line giving the payload's model and "
              "release");
  lines_ = good;
  lines_.erase(lines_.begin() + 1);
  lines_.insert(lines_.begin() + 4, "payload 1 020904");
  ExpectFault(TablePath() + ":5: the payload line must come before the first row (line 2)");
  lines_ = good;
  lines_.insert(lines_.begin() + 2, "payload 0 020904");
  ExpectFault(TablePath() + ":3: a second payload line (the first is line 2)");
}

TEST_F(PayloadGenerator, RejectsASplitRelease) {
  // Rows 33 (042303) and 34 (042803) change places: 042303 comes back after 042803.
  std::swap(lines_[2 + 33], lines_[2 + 34]);
  ExpectFault(TablePath() + ":37: release 042303 appears again after other codes; its rows "
              "must stand together (its earlier rows end at line 35)");
}

TEST_F(PayloadGenerator, RejectsThePayloadsReleaseAnywhereButLast) {
  // The four 020904 rows moved to the top of the table.
  std::vector<std::string> payloadRows(lines_.end() - 4, lines_.end());
  lines_.erase(lines_.end() - 4, lines_.end());
  lines_.insert(lines_.begin() + 2, payloadRows.begin(), payloadRows.end());
  ExpectFault(TablePath() + ":164: the last rows are of release 012704; the payload's own "
              "release 020904 must come last");
}

TEST_F(PayloadGenerator, RejectsAPayloadWithoutItsOwnRows) {
  std::vector<std::string> good = lines_;
  lines_[1] = "payload 1 020905";
  ExpectFault(TablePath() + ":2: no row of the payload's release 020905");
  lines_ = good;
  lines_[2 + 160] = "0 020904 004A80EB";
  lines_[2 + 161] = "0 020904 004A6E04";
  ExpectFault(TablePath() + ":2: no row of the payload's model 1 with its release 020904");
}

TEST_F(PayloadGenerator, RejectsATableWithoutTheSwImagesChecksum) {
  std::vector<std::string> good = lines_;
  ASSERT_LT(sw_[0x9000], 0xFF);
  // One byte more in the code region: its sum no longer matches row 160.
  sw_[0x9000] = static_cast<uint8_t>(sw_[0x9000] + 1);
  std::string message = TablePath() + ":2: no row of the payload's model 1 and release 020904 "
                        "holds 004A80EC, the sum of bytes 0x08000..0x15FFF of " + SwPath();
  ExpectFault(message);
  // The right sum in a base-model row of the release does not count for a Pro payload.
  lines_[2 + 158] = "0 020904 004A80EC";
  ExpectFault(message);
  // A byte outside the code region changes nothing.
  sw_[0x9000] = static_cast<uint8_t>(sw_[0x9000] - 1);
  const uint32_t past = layout::kCodeRegionStart + layout::kCodeRegionLength;
  sw_[past] = static_cast<uint8_t>(sw_[past] + 1);
  lines_ = good;
  EXPECT_EQ(Generate().exitStatus, 0);
}

}  // namespace
}  // namespace quorel
