#pragma once
#include <cstdint>

#include "payload/payload.h"

namespace quorel {

// Orders release codes: byte 0 (the least significant) decides first, then byte 2, then byte 1.
// Returns -1 when a is older than b, 0 when equal, 1 when newer. Not numeric order: 123103 is
// older than 011204.
int32_t CompareReleaseCodes(ReleaseCode a, ReleaseCode b);

inline bool IsOlder(ReleaseCode a, ReleaseCode b) { return CompareReleaseCodes(a, b) < 0; }

}  // namespace quorel
