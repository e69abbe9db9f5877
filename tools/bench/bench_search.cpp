#include "bench/bench_search.h"

#include <pty.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "os/serial_posix.h"
#include "sim/scripted_console.h"
#include "sim/sim_session.h"

namespace quorel::sim::bench {

namespace {

uint64_t CpuNs() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000000ull + static_cast<uint64_t>(now.tv_nsec);
}

// Pseudo-terminal pairs that stand for ports with nothing on the far end.
struct SilentPorts {
  explicit SilentPorts(int count) {
    for (int i = 0; i < count; ++i) {
      int master = -1;
      int slave = -1;
      if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return;
      fds.push_back(master);
      fds.push_back(slave);
      SerialPortEntry entry;
      entry.device = ttyname(slave);
      ports.push_back(entry);
    }
  }
  ~SilentPorts() {
    for (int fd : fds) close(fd);
  }
  SilentPorts(const SilentPorts&) = delete;
  SilentPorts& operator=(const SilentPorts&) = delete;
  std::vector<int> fds;
  std::vector<SerialPortEntry> ports;
};

}  // namespace

SearchRun RunSearch(int ports, bool fast, bool modelled) {
  SearchRun run;
  run.ports = ports;
  run.fast = fast;
  run.modelled = modelled;
  std::vector<std::string> args = {"--port", "auto"};
  if (fast) args.push_back("--fast");
  if (modelled) {
    SimSession s;
    s.unit.faults().absent = true;
    std::vector<std::string> names;
    for (int i = 1; i <= ports; ++i) names.push_back("COM" + std::to_string(i));
    s.devices.SetPortNames(names);
    const uint64_t start = s.clock.NowNs();
    run.status = s.Run(args);
    run.wallNs = s.clock.NowNs() - start;
    run.ran = true;
    return run;
  }
  SilentPorts silent(ports);
  if (static_cast<int>(silent.ports.size()) != ports) return run;
  const std::vector<SerialPortEntry> list = silent.ports;
  PosixSerialDevices devices([](const std::string&) {}, SetAndReadLineSpeed,
                             [list] { return list; });
  ScriptedConsole console;
  std::vector<const char*> argv = {"quorel-update"};
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  Clock& clock = SystemClock();
  const uint64_t start = clock.NowNs();
  const uint64_t cpuStart = CpuNs();
  run.status = RunUpdateProgram(devices, clock, console, CompiledPayload(),
                                static_cast<int>(argv.size()), argv.data());
  run.wallNs = clock.NowNs() - start;
  run.cpuNs = CpuNs() - cpuStart;
  run.ran = true;
  return run;
}

void PrintPartC(const std::vector<SearchRun>& runs) {
  std::printf(
      "--port auto: one E to each port and its 20-character reply read, on ports with no unit\n"
      "(a port that answers \"Ok\" costs the same: the read waits for 20 characters)\n");
  std::printf("%-28s %5s %5s %9s %12s %7s\n", "run", "ports", "pace", "total s", "per port ms",
              "CPU ms");
  for (const SearchRun& r : runs) {
    const char* label = r.modelled ? "virtual clock" : "pseudo-terminals, real time";
    if (!r.ran) {
      std::printf("%-28s %5d %5s  could not be made\n", label, r.ports, r.fast ? "fast" : "ticks");
      continue;
    }
    std::printf("%-28s %5d %5s %9.3f %12.1f ", label, r.ports, r.fast ? "fast" : "ticks",
                static_cast<double>(r.wallNs) / 1e9,
                static_cast<double>(r.wallNs) / 1e6 / r.ports);
    if (r.modelled) {
      std::printf("%7s\n", "-");
    } else {
      std::printf("%7.1f\n", static_cast<double>(r.cpuNs) / 1e6);
    }
  }
  std::printf("\n");
}

}  // namespace quorel::sim::bench
