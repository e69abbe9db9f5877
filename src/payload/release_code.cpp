#include "payload/release_code.h"

#include <initializer_list>

namespace quorel {

int32_t CompareReleaseCodes(ReleaseCode a, ReleaseCode b) {
  // Byte 2 before byte 1: the configuration thresholds need 042403 to come before 101203.
  for (int shift : {0, 16, 8}) {
    uint32_t byteA = (a >> shift) & 0xFF;
    uint32_t byteB = (b >> shift) & 0xFF;
    if (byteA != byteB) return byteA < byteB ? -1 : 1;
  }
  return 0;
}

}  // namespace quorel
