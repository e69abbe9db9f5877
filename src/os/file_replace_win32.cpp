// Putting a file in place on Windows: _commit, and MoveFileExA with MOVEFILE_REPLACE_EXISTING
// (a plain rename refuses an existing target) and MOVEFILE_WRITE_THROUGH.
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "os/error_text_win32.h"
#include "os/file_replace.h"

namespace quorel {

bool FlushFileToDisk(std::FILE* file, std::string* error) {
  if (std::fflush(file) != 0 || _commit(_fileno(file)) != 0) {
    *error = std::strerror(errno);
    return false;
  }
  return true;
}

bool RenameReplacing(const std::string& from, const std::string& to, std::string* error) {
  if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return true;
  }
  *error = "cannot replace it: " + Win32ErrorText(GetLastError());
  return false;
}

}  // namespace quorel
