#pragma once
// printf-style formatting into a std::string, for the tools' reports and judgements.
#include <string>

#include "base/printf_format.h"

namespace quorel::sim {

// At most 511 characters; a longer text is cut.
std::string Format(const char* format, ...) QUOREL_PRINTF_FORMAT(1, 2);

}  // namespace quorel::sim
