#include "support/posix_child.h"

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "os/posix_io.h"

namespace quorel::testing {
namespace {

uint64_t NowMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
}

void SleepOneMs() {
  timespec pause{0, 1000000};
  nanosleep(&pause, nullptr);
}

}  // namespace

PseudoTerminal::~PseudoTerminal() {
  CloseMaster();
  if (slave >= 0) close(slave);
}

bool PseudoTerminal::Open() {
  char name[128] = {};
  if (openpty(&master, &slave, name, nullptr, nullptr) != 0) return false;
  slavePath = name;
  return true;
}

void PseudoTerminal::CloseMaster() {
  if (master >= 0) close(master);
  master = -1;
}

pid_t ForkChild(const std::function<int()>& body) {
  pid_t pid = fork();
  if (pid == 0) _exit(body());
  return pid;
}

int WaitChild(pid_t pid, int timeoutMs) {
  uint64_t deadline = NowMs() + static_cast<uint64_t>(timeoutMs);
  for (;;) {
    int status = 0;
    pid_t done = RetryOnInterrupt([&] { return waitpid(pid, &status, WNOHANG); });
    if (done == pid) {
      if (WIFEXITED(status)) return WEXITSTATUS(status);
      if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
      return -1;
    }
    if (done < 0) return -1;
    if (NowMs() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    SleepOneMs();
  }
}

std::string ReadFor(int fd, int quietMs, size_t want) {
  std::string text;
  while (text.size() < want) {
    pollfd entry{fd, POLLIN, 0};
    if (RetryOnInterrupt([&] { return poll(&entry, 1, quietMs); }) <= 0) break;
    char buffer[4096];
    size_t room = want - text.size() < sizeof buffer ? want - text.size() : sizeof buffer;
    ssize_t got = RetryOnInterrupt([&] { return read(fd, buffer, room); });
    if (got <= 0) break;
    text.append(buffer, static_cast<size_t>(got));
  }
  return text;
}

bool WriteText(int fd, const std::string& text) {
  int error = 0;
  return WriteAll(fd, text.data(), text.size(), &error) == text.size();
}

bool WaitUntil(const std::function<bool()>& predicate, int timeoutMs) {
  uint64_t deadline = NowMs() + static_cast<uint64_t>(timeoutMs);
  while (!predicate()) {
    if (NowMs() >= deadline) return predicate();
    SleepOneMs();
  }
  return true;
}

}  // namespace quorel::testing
