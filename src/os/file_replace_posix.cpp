// Putting a file in place on POSIX systems: fsync, and rename, which replaces atomically.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "os/file_replace.h"

namespace quorel {

bool FlushFileToDisk(std::FILE* file, std::string* error) {
  if (std::fflush(file) != 0 || fsync(fileno(file)) != 0) {
    *error = std::strerror(errno);
    return false;
  }
  return true;
}

bool RenameReplacing(const std::string& from, const std::string& to, std::string* error) {
  if (std::rename(from.c_str(), to.c_str()) != 0) {
    *error = std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace quorel
