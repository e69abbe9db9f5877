// The payload generator: reads and checks a release's two image files and its release-table
// text, and writes the C++ source that carries the firmware payload inside the updater.
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "payload/gen/payload_gen.h"

#include "base/printf_format.h"
#include "payload/payload.h"

namespace quorel {
namespace {

// Prints "<file>: <fault>" or "<file>:<line>: <fault>" to standard error.
void Report(const std::string& file, int line, const char* format, ...)
    QUOREL_PRINTF_FORMAT(3, 4);

void Report(const std::string& file, int line, const char* format, ...) {
  if (line > 0) {
    std::fprintf(stderr, "%s:%d: ", file.c_str(), line);
  } else {
    std::fprintf(stderr, "%s: ", file.c_str());
  }
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
}

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    Report(path, 0, "cannot open: %s", std::strerror(errno));
    return false;
  }
  bytes.clear();
  uint8_t buffer[65536];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
    bytes.insert(bytes.end(), buffer, buffer + n);
  }
  bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) {
    Report(path, 0, "cannot read");
    return false;
  }
  return true;
}

bool CheckImageSize(const std::string& path, const std::vector<uint8_t>& image,
                    uint32_t expected) {
  if (image.size() == expected) return true;
  Report(path, 0, "size is %zu bytes, expected %" PRIu32 " (0x%" PRIX32 ")", image.size(),
         expected, expected);
  return false;
}

bool CheckConfigAreaZero(const std::string& path, const std::vector<uint8_t>& image) {
  for (uint32_t address = kConfigRegionBase; address < kConfigRegionEnd; ++address) {
    if (image[address] != 0) {
      Report(path, 0,
             "byte at 0x%05" PRIX32 " is 0x%02X; bytes 0x%05" PRIX32 "..0x%05" PRIX32
             " (the unit's configuration area) must all be zero",
             address, image[address], kConfigRegionBase, kConfigRegionEnd - 1);
      return false;
    }
  }
  return true;
}

// Parses a whole token of hexadecimal digits (no prefix). Sets tooBig when the value does not
// fit 64 bits; the callers then report it as not fitting their narrower column.
bool ParseHex(const std::string& token, uint64_t& value, bool& tooBig) {
  value = 0;
  tooBig = false;
  if (token.empty()) return false;
  for (char c : token) {
    uint64_t digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<uint64_t>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<uint64_t>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<uint64_t>(c - 'A' + 10);
    } else {
      return false;
    }
    if (value > (UINT64_MAX >> 4)) tooBig = true;
    value = (value << 4) | digit;
  }
  return true;
}

// Parses one field of a table line into a value no larger than maxValue. what names the field in
// messages.
bool ParseField(const std::string& path, int line, const std::string& token, const char* what,
                uint64_t maxValue, const char* rangeText, uint32_t& result) {
  uint64_t value;
  bool tooBig;
  if (!ParseHex(token, value, tooBig)) {
    Report(path, line, "%s '%s' is not a hexadecimal number", what, token.c_str());
    return false;
  }
  if (tooBig || value > maxValue) {
    Report(path, line, "%s %s %s", what, token.c_str(), rangeText);
    return false;
  }
  result = static_cast<uint32_t>(value);
  return true;
}

bool ParseKindAndCode(const std::string& path, int line, const std::string& kindToken,
                      const std::string& codeToken, uint32_t& kind, uint32_t& code) {
  return ParseField(path, line, kindToken, "kind", 1, "is not 0 or 1", kind) &&
         ParseField(path, line, codeToken, "release code", 0xFFFFFF, "does not fit 24 bits", code);
}

std::vector<std::string> SplitWords(const std::string& text) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    size_t start = i;
    while (i < text.size() && text[i] != ' ' && text[i] != '\t') ++i;
    if (i > start) words.push_back(text.substr(start, i - start));
  }
  return words;
}

bool ParseTableLine(const std::string& path, int line, const std::string& rawText,
                    ReleaseTableText& table) {
  std::string text = rawText;
  size_t comment = text.find('#');
  if (comment != std::string::npos) text.erase(comment);
  std::vector<std::string> words = SplitWords(text);
  if (words.empty()) return true;

  if (words[0] == "payload") {
    if (words.size() != 3) {
      Report(path, line, "malformed payload line \"%s\": expected 'payload KIND CODE'",
             rawText.c_str());
      return false;
    }
    if (table.hasPayload) {
      Report(path, line, "a second payload line (the first is line %d)", table.payloadLine);
      return false;
    }
    if (!table.rows.empty()) {
      Report(path, line, "the payload line must come before the first row (line %d)",
             table.rows.front().line);
      return false;
    }
    if (!ParseKindAndCode(path, line, words[1], words[2], table.payloadKind, table.payloadCode)) {
      return false;
    }
    table.hasPayload = true;
    table.payloadLine = line;
    return true;
  }

  if (words.size() != 3) {
    Report(path, line,
           "malformed line \"%s\": expected a row 'KIND CODE CHECKSUM' or 'payload KIND CODE'",
           rawText.c_str());
    return false;
  }
  ReleaseRow row = {0, 0, 0, line};
  if (!ParseKindAndCode(path, line, words[0], words[1], row.kind, row.code)) return false;
  if (!ParseField(path, line, words[2], "checksum", 0xFFFFFFFF, "does not fit 32 bits",
                  row.checksum)) {
    return false;
  }
  table.rows.push_back(row);
  return true;
}

}  // namespace

bool ParseTable(const std::string& path, const std::vector<uint8_t>& bytes,
                ReleaseTableText& table) {
  int line = 1;
  size_t start = 0;
  while (start < bytes.size()) {
    size_t end = start;
    while (end < bytes.size() && bytes[end] != '\n') ++end;
    std::string text(bytes.begin() + static_cast<std::ptrdiff_t>(start),
                     bytes.begin() + static_cast<std::ptrdiff_t>(end));
    if (!text.empty() && text.back() == '\r') text.pop_back();
    if (!ParseTableLine(path, line, text, table)) return false;
    start = end + 1;
    ++line;
  }
  return true;
}

namespace {

// The identification checksum of the image: the byte sum of the code region.
uint32_t CodeRegionChecksum(const std::vector<uint8_t>& swImage) {
  uint32_t sum = 0;
  for (uint32_t i = 0; i < kCodeRegionLength; ++i) sum += swImage[kCodeRegionStart + i];
  return sum;
}

// Rows of one release code must stand together: a code may not come back after another.
bool RowsOfACodeStandTogether(const std::string& path, const ReleaseTableText& table) {
  std::vector<const ReleaseRow*> runEnds;  // the last row of every finished run
  for (size_t i = 0; i < table.rows.size(); ++i) {
    const ReleaseRow& row = table.rows[i];
    if (i > 0 && row.code == table.rows[i - 1].code) continue;
    for (const ReleaseRow* end : runEnds) {
      if (end->code == row.code) {
        Report(path, row.line,
               "release %06" PRIx32 " appears again after other codes; its rows must stand "
               "together (its earlier rows end at line %d)",
               row.code, end->line);
        return false;
      }
    }
    if (i > 0) runEnds.push_back(&table.rows[i - 1]);
  }
  return true;
}

}  // namespace

bool CheckTable(const std::string& path, const ReleaseTableText& table,
                const std::string& swPath, uint32_t swChecksum) {
  if (!table.hasPayload) {
    Report(path, 0, "no 'payload KIND CODE' line giving the payload's model and release");
    return false;
  }
  if (table.rows.size() != kReleaseTableRows) {
    Report(path, 0, "has %zu rows, expected %" PRIu32, table.rows.size(), kReleaseTableRows);
    return false;
  }

  if (!RowsOfACodeStandTogether(path, table)) return false;

  bool codePresent = false;
  bool modelPresent = false;
  bool checksumPresent = false;
  for (const ReleaseRow& row : table.rows) {
    if (row.code != table.payloadCode) continue;
    codePresent = true;
    if (row.kind != table.payloadKind) continue;
    modelPresent = true;
    if (row.checksum == swChecksum) checksumPresent = true;
  }
  if (!codePresent) {
    Report(path, table.payloadLine, "no row of the payload's release %06" PRIx32,
           table.payloadCode);
    return false;
  }
  const ReleaseRow& last = table.rows.back();
  if (last.code != table.payloadCode) {
    Report(path, last.line,
           "the last rows are of release %06" PRIx32 "; the payload's own release %06" PRIx32
           " must come last",
           last.code, table.payloadCode);
    return false;
  }
  if (!modelPresent) {
    Report(path, table.payloadLine, "no row of the payload's model %" PRIu32
           " with its release %06" PRIx32, table.payloadKind, table.payloadCode);
    return false;
  }
  if (!checksumPresent) {
    Report(path, table.payloadLine,
           "no row of the payload's model %" PRIu32 " and release %06" PRIx32
           " holds %08" PRIX32 ", the sum of bytes 0x%05" PRIX32 "..0x%05" PRIX32 " of %s",
           table.payloadKind, table.payloadCode, swChecksum, kCodeRegionStart,
           kCodeRegionStart + kCodeRegionLength - 1, swPath.c_str());
    return false;
  }
  return true;
}

namespace {

void AppendBytes(std::string& out, const char* name, const std::vector<uint8_t>& bytes,
                 const char* sizeName) {
  static const char kDigits[] = "0123456789abcdef";
  out += "const uint8_t ";
  out += name;
  out += "[";
  out += sizeName;
  out += "] = {\n";
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i % 16 == 0) out += "  ";
    out += "0x";
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 0xF];
    out += (i % 16 == 15 || i + 1 == bytes.size()) ? ",\n" : ", ";
  }
  out += "};\n\n";
}

void AppendColumn(std::string& out, const char* name, const std::vector<ReleaseRow>& rows,
                  uint32_t ReleaseRow::*field, const char* format, size_t perLine) {
  out += "const uint32_t ";
  out += name;
  out += "[kReleaseTableRows] = {\n";
  char text[32];
  for (size_t i = 0; i < rows.size(); ++i) {
    if (i % perLine == 0) out += "  ";
    std::snprintf(text, sizeof text, format, rows[i].*field);
    out += text;
    out += (i % perLine == perLine - 1 || i + 1 == rows.size()) ? ",\n" : ", ";
  }
  out += "};\n\n";
}

std::string GenerateSource(const std::vector<std::string>& inputs,
                           const std::vector<uint8_t>& swImage,
                           const std::vector<uint8_t>& hwImage, const ReleaseTableText& table,
                           uint32_t swChecksum) {
  std::string out;
  out.reserve(6 * (swImage.size() + hwImage.size()) + 16384);
  out += "// Generated by quorel-payload-gen; edit the inputs, not this file.\n";
  for (const std::string& input : inputs) out += "//   from " + input + "\n";
  char text[160];
  std::snprintf(text, sizeof text,
                "// Payload: kind %" PRIu32 ", release %06" PRIx32
                "; code-region checksum %08" PRIX32 ".\n",
                table.payloadKind, table.payloadCode, swChecksum);
  out += text;
  out += "#include \"payload/payload.h\"\n\nnamespace quorel {\nnamespace {\n\n";
  AppendBytes(out, "kSwImage", swImage, "kSwImageSize");
  AppendBytes(out, "kHwImage", hwImage, "kHwImageSize");
  AppendColumn(out, "kReleaseKinds", table.rows, &ReleaseRow::kind, "%" PRIu32, 16);
  AppendColumn(out, "kReleaseCodes", table.rows, &ReleaseRow::code, "0x%06" PRIx32, 8);
  AppendColumn(out, "kReleaseChecksums", table.rows, &ReleaseRow::checksum, "0x%08" PRIx32, 8);
  std::snprintf(text, sizeof text,
                "const FirmwarePayload kPayload = {\n"
                "    kSwImage, kHwImage, %" PRIu32 ", 0x%06" PRIx32 ",\n",
                table.payloadKind, table.payloadCode);
  out += text;
  out += "    {kReleaseKinds, kReleaseCodes, kReleaseChecksums, kReleaseTableRows}};\n\n";
  out += "}  // namespace\n\n";
  out += "const FirmwarePayload& CompiledPayload() { return kPayload; }\n\n";
  out += "}  // namespace quorel\n";
  return out;
}

// Writes next to the output and renames, so a failed run leaves no half-written source behind.
bool WriteOutput(const std::string& path, const std::string& text) {
  std::string temporary = path + ".tmp";
  std::FILE* file = std::fopen(temporary.c_str(), "wb");
  if (file == nullptr) {
    Report(temporary, 0, "cannot create: %s", std::strerror(errno));
    return false;
  }
  bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  written = (std::fclose(file) == 0) && written;
  if (!written) {
    Report(temporary, 0, "cannot write");
    std::remove(temporary.c_str());
    return false;
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    Report(path, 0, "cannot replace: %s", std::strerror(errno));
    std::remove(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace

int RunPayloadGen(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr,
                 "usage: quorel-payload-gen SW_IMAGE HW_IMAGE RELEASE_TABLE OUTPUT.cpp\n");
    return 2;
  }
  const std::string swPath = argv[1];
  const std::string hwPath = argv[2];
  const std::string tablePath = argv[3];
  const std::string outPath = argv[4];

  std::vector<uint8_t> swImage;
  if (!ReadWholeFile(swPath, swImage) || !CheckImageSize(swPath, swImage, kSwImageSize) ||
      !CheckConfigAreaZero(swPath, swImage)) {
    return 1;
  }
  std::vector<uint8_t> hwImage;
  if (!ReadWholeFile(hwPath, hwImage) || !CheckImageSize(hwPath, hwImage, kHwImageSize)) {
    return 1;
  }
  std::vector<uint8_t> tableBytes;
  ReleaseTableText table;
  uint32_t swChecksum = CodeRegionChecksum(swImage);
  if (!ReadWholeFile(tablePath, tableBytes) || !ParseTable(tablePath, tableBytes, table) ||
      !CheckTable(tablePath, table, swPath, swChecksum)) {
    return 1;
  }
  std::string source =
      GenerateSource({swPath, hwPath, tablePath}, swImage, hwImage, table, swChecksum);
  return WriteOutput(outPath, source) ? 0 : 1;
}

namespace {

}  // namespace
}  // namespace quorel
