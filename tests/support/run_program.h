#pragma once
// Runs a program of this project as a child process with the given standard input and collects
// its exit status, standard output and standard error.
#include <string>
#include <vector>

namespace quorel::testing {

struct ProgramRun {
  int exitStatus = -1;   // the status passed to exit, or 128 + signal
  std::string out;
  std::string err;
};

// stdinText is written to the child's standard input, which is then closed (end of input).
ProgramRun RunProgram(const std::string& path, const std::vector<std::string>& args,
                      const std::string& stdinText = "", int timeoutSeconds = 30);

}  // namespace quorel::testing
