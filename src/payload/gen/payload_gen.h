#pragma once
// quorel-payload-gen: turns a release's two image files and its release-table text into the C++
// source that carries the firmware payload inside the updater.
//
//   quorel-payload-gen SW_IMAGE HW_IMAGE RELEASE_TABLE OUTPUT.cpp
//
// It runs at build time. Before writing anything it checks the inputs against what the updater
// relies on; the first fault stops it with one message naming the file (and line) and exit
// status 1, so a bad payload never reaches the program. The release-table format is described
// at the top of data/payload/release_table.txt.
#include <cstdint>
#include <string>
#include <vector>

namespace quorel {

struct ReleaseRow {
  uint32_t kind;
  uint32_t code;
  uint32_t checksum;
  int line;
};

struct ReleaseTableText {
  bool hasPayload = false;
  uint32_t payloadKind = 0;
  uint32_t payloadCode = 0;
  int payloadLine = 0;
  std::vector<ReleaseRow> rows;
};

// Reads a release table's text (the format is described at the top of
// data/payload/release_table.txt). False, with a report on standard error naming the file and
// line, at the first line that does not fit it.
bool ParseTable(const std::string& path, const std::vector<uint8_t>& bytes,
                ReleaseTableText& table);
// Checks a parsed table against what the updater relies on: the payload line, 162 rows grouped
// by release with the payload's own last, and a row of the payload's model and release holding
// swChecksum, the code-region checksum of the main image in swPath.
bool CheckTable(const std::string& path, const ReleaseTableText& table, const std::string& swPath,
                uint32_t swChecksum);
// The whole program: quorel-payload-gen SW_IMAGE HW_IMAGE RELEASE_TABLE OUTPUT.cpp. Returns its
// exit status: 0 when the source was written, 1 for a fault in the inputs, 2 for a bad command line.
int RunPayloadGen(int argc, char** argv);

}  // namespace quorel
