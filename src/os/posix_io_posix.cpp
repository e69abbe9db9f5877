#include "os/posix_io.h"

#include <unistd.h>

namespace quorel {

size_t WriteAll(int fd, const void* data, size_t count, int* error) {
  const char* bytes = static_cast<const char*>(data);
  size_t written = 0;
  *error = 0;
  while (written < count) {
    const ssize_t n = RetryOnInterrupt([&] { return ::write(fd, bytes + written, count - written); });
    if (n <= 0) {
      if (n < 0) *error = errno;
      break;
    }
    written += static_cast<size_t>(n);
  }
  return written;
}

}  // namespace quorel
