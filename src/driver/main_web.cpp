// quorel-update in a web page. The page makes a fresh instance of the program for every run and
// calls quorel_web_run with the command line its controls stand for, one argument a line; the
// run's status comes back when the run has ended (the page waits for it as a promise).
#include <emscripten.h>

#include <memory>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "platform/platform.h"
#include "payload/payload.h"

namespace {

EM_JS(void, quorel_web_planned, (uint32_t total, const double* leftMs), {
  const left = [];
  for (let k = 0; k <= total; ++k) left.push(HEAPF64[(leftMs >> 3) + k]);
  Module.quorelPlanned(total, left);
});

EM_JS(void, quorel_web_progress, (uint32_t done), { Module.quorelProgress(done); });

// The page's progress bar.
class PageProgress : public quorel::ProgressObserver {
 public:
  void Planned(uint32_t totalBlocks, const std::vector<uint64_t>& leftNs) override {
    std::vector<double> leftMs;
    for (uint64_t ns : leftNs) leftMs.push_back(static_cast<double>(ns) / 1e6);
    quorel_web_planned(totalBlocks, leftMs.data());
  }
  void BlocksWritten(uint32_t done) override { quorel_web_progress(done); }
};

}  // namespace

extern "C" EMSCRIPTEN_KEEPALIVE int quorel_web_run(const char* commandLine) {
  std::vector<std::string> arguments{"quorel-update"};
  std::string rest = commandLine != nullptr ? commandLine : "";
  for (size_t start = 0; start < rest.size();) {
    size_t end = rest.find('\n', start);
    if (end == std::string::npos) end = rest.size();
    arguments.push_back(rest.substr(start, end - start));
    start = end + 1;
  }
  std::vector<const char*> argv;
  for (const std::string& argument : arguments) argv.push_back(argument.c_str());
  argv.push_back(nullptr);

  std::unique_ptr<quorel::Console> console = quorel::MakePlatformConsole();
  std::unique_ptr<quorel::SerialDevices> devices = quorel::MakePlatformSerialDevices(
      [&console](const std::string& line) { console->Error(line); });
  PageProgress progress;
  return quorel::RunUpdateProgram(*devices, quorel::SystemClock(), *console,
                                  quorel::CompiledPayload(), static_cast<int>(arguments.size()),
                                  argv.data(), &progress);
}
