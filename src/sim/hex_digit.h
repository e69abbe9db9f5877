#pragma once
// The value of one hexadecimal digit, as the unit reads its command arguments and the tools
// read the texts they judge or decode.

namespace quorel::sim {

// 0..15 for '0'-'9', 'a'-'f' and 'A'-'F'; -1 for any other character.
constexpr int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace quorel::sim
