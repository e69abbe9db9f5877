#pragma once
// Helpers for tests that need real POSIX devices: pseudo-terminal pairs, forked child processes
// and bounded reads from descriptors.
#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>

namespace quorel::testing {

// A pseudo-terminal pair; both sides are closed on destruction.
struct PseudoTerminal {
  PseudoTerminal() = default;
  ~PseudoTerminal();
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  bool Open();
  void CloseMaster();

  int master = -1;
  int slave = -1;
  std::string slavePath;
};

// Runs body in a forked child that ends with _exit(body()); returns the child's pid, or -1.
pid_t ForkChild(const std::function<int()>& body);

// Waits for the child: its exit status, 128 + the signal that ended it, or -1 when it did not
// end within timeoutMs (it is then killed).
int WaitChild(pid_t pid, int timeoutMs = 5000);

// Reads from fd until `want` bytes have come, the other side is closed, or quietMs pass with
// nothing arriving.
std::string ReadFor(int fd, int quietMs, size_t want = static_cast<size_t>(-1));

// Writes every byte to fd; false on failure.
bool WriteText(int fd, const std::string& text);

// Polls predicate every millisecond until it holds or timeoutMs pass; returns its last value.
bool WaitUntil(const std::function<bool()>& predicate, int timeoutMs = 5000);

}  // namespace quorel::testing
