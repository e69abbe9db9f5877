#pragma once
// The two loops every POSIX call site needs, in one place: a system call run again while a
// signal interrupts it, and a write that goes on after short writes. The interrupt handlers do
// not restart calls (a Ctrl-C must end a wait), so every blocking call can return EINTR.
#include <cerrno>
#include <cstddef>

namespace quorel {

// Runs call() again for as long as it fails with EINTR. A write interrupted by Ctrl-C goes on
// with the rest, so every byte handed to it leaves; the caller looks at the cancellation flag
// afterwards. Not for close(): Linux has released the descriptor even when close reports EINTR,
// and a second close could hit a descriptor opened in the meantime.
template <typename Call>
auto RetryOnInterrupt(Call call) -> decltype(call()) {
  for (;;) {
    auto result = call();
    if (result != -1 || errno != EINTR) return result;
  }
}

// Writes count bytes to fd, going on after signals and short writes. Returns how many were
// written; when that is fewer than count, *error holds the errno of the write that failed
// (EAGAIN on a non-blocking descriptor that is full), or 0 when the device took nothing without
// an error.
size_t WriteAll(int fd, const void* data, size_t count, int* error);

}  // namespace quorel
