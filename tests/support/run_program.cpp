#include "support/run_program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quorel::testing {

namespace {

void CloseBoth(int fds[2]) {
  close(fds[0]);
  close(fds[1]);
}

}  // namespace

ProgramRun RunProgram(const std::string& path, const std::vector<std::string>& args,
                      const std::string& stdinText, int timeoutSeconds) {
  ProgramRun run;
  int in[2], out[2], err[2];
  if (pipe(in) != 0) return run;
  if (pipe(out) != 0) {
    CloseBoth(in);
    return run;
  }
  if (pipe(err) != 0) {
    CloseBoth(in);
    CloseBoth(out);
    return run;
  }
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    CloseBoth(in);
    CloseBoth(out);
    CloseBoth(err);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(path.c_str(), argv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  signal(SIGPIPE, SIG_IGN);
  if (!stdinText.empty()) {
    ssize_t ignored = write(in[1], stdinText.data(), stdinText.size());
    (void)ignored;
  }
  close(in[1]);

  struct timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  bool outOpen = true, errOpen = true;
  while (outOpen || errOpen) {
    struct pollfd fds[2] = {{outOpen ? out[0] : -1, POLLIN, 0}, {errOpen ? err[0] : -1, POLLIN, 0}};
    int ready = poll(fds, 2, 200);
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (now.tv_sec - start.tv_sec > timeoutSeconds) {
      kill(pid, SIGKILL);
      break;
    }
    if (ready <= 0) continue;
    char buffer[4096];
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n <= 0) {
        (i == 0 ? outOpen : errOpen) = false;
      } else {
        (i == 0 ? run.out : run.err).append(buffer, static_cast<size_t>(n));
      }
    }
  }
  close(out[0]);
  close(err[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return run;
}

}  // namespace quorel::testing
