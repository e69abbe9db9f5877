#pragma once
// The console of a simulated run: text kept in memory, keys from a script.
#include <cstddef>
#include <utility>
#include <string>

#include "console/console.h"

namespace quorel {

// A console for tests, the benchmark and the demo's scripted runs: keeps everything written
// and answers key reads from a script; once the script is used up every read is end of input.
class ScriptedConsole : public Console {
 public:
  explicit ScriptedConsole(std::string keys = "") : keys_(std::move(keys)) {}
  void Write(const char* text, size_t length) override { output_.append(text, length); }
  void Error(const std::string& line) override { errors_ += line + "\n"; }
  int ReadKey() override;

  const std::string& output() const { return output_; }
  const std::string& errors() const { return errors_; }
  int keysRead() const { return keysRead_; }

 private:
  std::string keys_;
  size_t next_ = 0;
  int keysRead_ = 0;
  std::string output_;
  std::string errors_;
};

}  // namespace quorel
