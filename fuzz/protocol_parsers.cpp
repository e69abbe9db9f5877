// Fuzzes the two parsers of the unit's replies: the checksum reply ("CS=" and up to eight
// hexadecimal digits) and one character pair of a memory read. Each result is checked against a
// plain reading of the format, and each parser gets a buffer exactly as long as its text, so
// that a read past the terminator shows as an AddressSanitizer report.
#include <sanitizer/common_interface_defs.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "protocol/protocol.h"

namespace {

int Hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The message goes out the way the sanitizers report, which stays open when the fuzzer closes
// the target's standard error.
[[noreturn]] void Fail(const char* what, const char* text) {
  char message[400];
  std::snprintf(message, sizeof message, "protocol_parsers: %s for \"%s\"", what, text);
  __sanitizer_report_error_summary(message);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The text as the reply buffer holds it: the bytes read, then a terminator.
  std::unique_ptr<char[]> text(new char[size + 1]);
  std::memcpy(text.get(), data, size);
  text[size] = '\0';
  const size_t length = std::strlen(text.get());

  // What the reply means: "CS=" then one to eight hexadecimal digits; anything after them does
  // not matter.
  bool expectParsed = false;
  uint32_t expectValue = 0;
  if (length >= 3 && std::strncmp(text.get(), "CS=", 3) == 0) {
    size_t digits = 0;
    while (digits < 8 && 3 + digits < length && Hex(text[3 + digits]) >= 0) {
      expectValue = expectValue * 16 + static_cast<uint32_t>(Hex(text[3 + digits]));
      ++digits;
    }
    expectParsed = digits > 0;
  }
  const uint32_t kUntouched = 0xA5A5A5A5;
  uint32_t value = kUntouched;
  const bool parsed = quorel::ParseChecksumReply(text.get(), &value);
  if (parsed != expectParsed)
    Fail(parsed ? "parsed a reply without the form" : "missed a reply", text.get());
  if (parsed && value != expectValue) Fail("parsed the wrong value", text.get());
  if (!parsed && value != kUntouched) Fail("changed the value of a reply it refused", text.get());

  // One pair of a memory read: the read primitive hands over at most two characters.
  const size_t pairLength = length < 2 ? length : 2;
  std::unique_ptr<char[]> pair(new char[pairLength + 1]);
  std::memcpy(pair.get(), text.get(), pairLength);
  pair[pairLength] = '\0';
  const uint8_t kUntouchedByte = 0x5A;
  uint8_t byte = kUntouchedByte;
  const bool pairParsed = quorel::ParseHexPair(pair.get(), &byte);
  const int high = pairLength > 0 ? Hex(pair[0]) : -1;
  const int low = pairLength > 1 ? Hex(pair[1]) : -1;
  if (pairParsed != (high >= 0)) Fail("judged the pair wrongly", pair.get());
  if (high < 0 && byte != kUntouchedByte) Fail("changed the byte of a refused pair", pair.get());
  if (high >= 0 && byte != (low >= 0 ? high * 16 + low : high))
    Fail("read the pair wrongly", pair.get());
  return 0;
}
