#pragma once
// The one readable text of a Win32 failure, for every place that reports one.
#include <string>

namespace quorel {

// The system's message for a Win32 error code (GetLastError()), on one line, with the code:
// "Access is denied. (error 5)"; "system error (error N)" when the system has no message.
std::string Win32ErrorText(unsigned long error);

}  // namespace quorel
