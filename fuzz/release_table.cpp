// Fuzzes the payload generator's reading of a release table: the whole text is the input. The
// fuzzer links the generator's own library, so the parser and the checks run exactly as the
// build runs them. The generator's one-line reports go to standard error (scripts/fuzz.sh closes
// it for the runs).
//
// Checked beyond "no crash": a table that parses holds only kinds 0 and 1, 24-bit release codes
// and the lines it came from in order; a table that also passes the checks has the payload line,
// 162 rows, the payload's release last and a row of the payload's model with its code-region
// checksum.
#include <sanitizer/common_interface_defs.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "payload/gen/payload_gen.h"
#include "payload/payload.h"

namespace {

// The code-region checksum the checks are given, as if the main image summed to it.
constexpr uint32_t kImageChecksum = 0x004A80EB;

// The message goes out the way the sanitizers report, which stays open when the fuzzer closes
// the target's standard error.
[[noreturn]] void Fail(const char* what) {
  __sanitizer_report_error_summary((std::string("release_table: ") + what).c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> bytes(data, data + size);
  quorel::ReleaseTableText table;
  if (!quorel::ParseTable("release_table.txt", bytes, table)) return 0;

  int lastLine = table.hasPayload ? table.payloadLine : 0;
  for (const quorel::ReleaseRow& row : table.rows) {
    if (row.kind > 1) Fail("a row of a kind other than 0 and 1 was taken");
    if (row.code > 0xFFFFFF) Fail("a release code wider than 24 bits was taken");
    if (row.line <= lastLine) Fail("rows out of the order of their lines");
    lastLine = row.line;
  }
  if (table.hasPayload && (table.payloadKind > 1 || table.payloadCode > 0xFFFFFF)) {
    Fail("a payload line out of range was taken");
  }

  if (!quorel::CheckTable("release_table.txt", table, "sw_image.bin", kImageChecksum)) return 0;
  if (!table.hasPayload) Fail("checked without a payload line");
  if (table.rows.size() != quorel::kReleaseTableRows) Fail("checked with the wrong row count");
  if (table.rows.back().code != table.payloadCode) Fail("checked with another release last");
  bool found = false;
  for (const quorel::ReleaseRow& row : table.rows) {
    found = found || (row.kind == table.payloadKind && row.code == table.payloadCode &&
                      row.checksum == kImageChecksum);
  }
  if (!found) Fail("checked without the payload's own row");
  return 0;
}
