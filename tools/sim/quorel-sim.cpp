// quorel-sim: serves one simulated unit in update mode on a pseudo-terminal, for trying the
// updater (or any terminal program) without a unit. The first line printed names the device;
// give it to the updater with --port (or a udev-style name made with --link).
#include <getopt.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "payload/payload.h"
#include "sim/pty_unit_server.h"
#include "sim/simulated_unit.h"
#include "sim/unit_layout.h"
#include "sim/unit_profile.h"

namespace {

using quorel::sim::ChecksumFault;
using quorel::sim::ChecksumFaultKind;
using quorel::sim::ChecksumKey;
using quorel::sim::PtyUnitServer;
using quorel::sim::SimulatedUnit;

constexpr int kExitStopped = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
// The unit memory written by --memory: up to the end of the second image's range.
constexpr uint32_t kMemoryDumpEnd = 0x070000;

struct Settings {
  bool haveChecksum = false;
  uint32_t checksum = 0;
  bool haveRow = false;
  uint32_t row = 0;
  bool haveModel = false;
  quorel::ProductKind model = quorel::kProModel;
  bool haveRelease = false;
  quorel::ReleaseCode release = 0;
  std::string config = "auto";
  uint32_t configSeed = 1;
  bool configBroken = false;
  quorel::sim::UnitFaults faults;
  bool pace = false;
  bool followSpeedCommands = false;
  std::string device;
  std::string link;
  std::string transcript;
  std::string memory;
  std::string loadMemory;
  bool exitWhenDone = false;
};

// Whole-text number in the given base, at most max; false for anything else.
bool ParseNumber(const std::string& text, int base, uint64_t max, uint64_t* value) {
  std::string digits = text;
  if (base == 16 && (digits.rfind("0x", 0) == 0 || digits.rfind("0X", 0) == 0)) {
    digits = digits.substr(2);
  }
  if (digits.empty() || digits.size() > 12) return false;
  for (char c : digits) {
    bool ok = base == 16 ? std::isxdigit(static_cast<unsigned char>(c)) != 0
                         : std::isdigit(static_cast<unsigned char>(c)) != 0;
    if (!ok) return false;
  }
  uint64_t parsed = std::strtoull(digits.c_str(), nullptr, base);
  if (parsed > max) return false;
  *value = parsed;
  return true;
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t at = text.find(separator, start);
    if (at == std::string::npos) {
      parts.push_back(text.substr(start));
      return parts;
    }
    parts.push_back(text.substr(start, at - start));
    start = at + 1;
  }
}

// "\r", "\n", "\t", "\\" and "\xHH" in TEXT; false for another escape.
bool Unescape(const std::string& text, std::string* bytes) {
  bytes->clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      *bytes += text[i];
      continue;
    }
    if (++i >= text.size()) return false;
    switch (text[i]) {
      case 'r': *bytes += '\r'; break;
      case 'n': *bytes += '\n'; break;
      case 't': *bytes += '\t'; break;
      case '\\': *bytes += '\\'; break;
      case 'x': {
        uint64_t value = 0;
        if (i + 2 >= text.size() || !ParseNumber(text.substr(i + 1, 2), 16, 0xFF, &value)) {
          return false;
        }
        *bytes += static_cast<char>(value);
        i += 2;
        break;
      }
      default: return false;
    }
  }
  return true;
}

// ADDR or ADDR:ATTEMPT.
bool ParseKey(const std::vector<std::string>& parts, ChecksumKey* key) {
  uint64_t address = 0;
  uint64_t attempt = 0;
  if (parts.empty() || parts.size() > 2) return false;
  if (!ParseNumber(parts[0], 16, 0xFFFFFF, &address)) return false;
  if (parts.size() == 2 && !ParseNumber(parts[1], 10, 1000000, &attempt)) return false;
  *key = ChecksumKey{static_cast<uint32_t>(address), static_cast<int>(attempt)};
  return true;
}

bool Bad(const char* option, const std::string& value, const char* expected) {
  std::fprintf(stderr, "quorel-sim: --%s %s: %s\n", option, value.c_str(), expected);
  return false;
}


// A checksum fault of the given kind at ADDR[:ATTEMPT].
bool ApplyChecksumFault(const char* name, const std::string& value, Settings* s,
                        ChecksumFaultKind kind) {
  ChecksumKey key;
  if (!ParseKey(Split(value, ':'), &key)) return Bad(name, value, "ADDR[:ATTEMPT]");
  ChecksumFault fault;
  fault.kind = kind;
  s->faults.checksumFaults[key] = fault;
  return true;
}

bool ApplyCount(const char* name, const std::string& value, uint64_t max, int* count) {
  uint64_t number = 0;
  if (!ParseNumber(value, 10, max, &number)) return Bad(name, value, "a count");
  *count = static_cast<int>(number);
  return true;
}

// One option of the command line: its name, the name of its value in the help (null for an
// option without one), its help text (a '\n' starts a continuation line), and what it does to
// the settings. The help text, the option parser's table and the handling all come from here.
struct SimOption {
  const char* heading;  // printed before the option's help line, when not null
  const char* name;
  const char* value;
  const char* help;
  bool (*apply)(const char* name, const std::string& value, Settings* s);
};

const SimOption kSimOptions[] = {
    {"The unit's firmware (default: --model pro --release 042303):", "checksum", "HEX",
     "the code-region checksum the unit reports",
     [](const char* name, const std::string& value, Settings* s) {
       uint64_t number = 0;
       if (!ParseNumber(value, 16, 0xFFFFFFFF, &number)) return Bad(name, value, "a hex checksum");
       s->haveChecksum = true;
       s->checksum = static_cast<uint32_t>(number);
       return true;
     }},
    {nullptr, "row", "N", "the firmware of row N of the release table",
     [](const char* name, const std::string& value, Settings* s) {
       const uint32_t rows = quorel::CompiledPayload().releaseTable.rows;
       uint64_t number = 0;
       if (!ParseNumber(value, 10, rows - 1, &number)) {
         return Bad(name, value, ("a row number from 0 to " + std::to_string(rows - 1)).c_str());
       }
       s->haveRow = true;
       s->row = static_cast<uint32_t>(number);
       return true;
     }},
    {nullptr, "model", "pro|base", "with --release: that model's firmware of that release",
     [](const char* name, const std::string& value, Settings* s) {
       if (value != "pro" && value != "base") return Bad(name, value, "pro or base");
       s->haveModel = true;
       s->model = value == "pro" ? quorel::kProModel : quorel::kBaseModel;
       return true;
     }},
    {nullptr, "release", "CODE", "release code as the updater prints it (six hex digits)",
     [](const char* name, const std::string& value, Settings* s) {
       uint64_t number = 0;
       if (!ParseNumber(value, 16, 0xFFFFFF, &number)) {
         return Bad(name, value, "a release code of up to six hex digits, such as 042303");
       }
       s->haveRelease = true;
       s->release = static_cast<quorel::ReleaseCode>(number);
       return true;
     }},
    {"Its configuration records:", "config", "LAYOUT",
     "auto, v1, v2, v3, zero, ff or none (default auto: the\n"
     "layout of the unit's release; none for unknown firmware)",
     [](const char* name, const std::string& value, Settings* s) {
       for (const char* layout : {"auto", "v1", "v2", "v3", "zero", "ff", "none"}) {
         if (value == layout) {
           s->config = value;
           return true;
         }
       }
       return Bad(name, value, "auto, v1, v2, v3, zero, ff or none");
     }},
    {nullptr, "config-seed", "N", "seed of the records' settings (default 1)",
     [](const char* name, const std::string& value, Settings* s) {
       uint64_t number = 0;
       if (!ParseNumber(value, 10, 0xFFFFFFFF, &number)) return Bad(name, value, "a number");
       s->configSeed = static_cast<uint32_t>(number);
       return true;
     }},
    {nullptr, "config-broken", nullptr, "store wrong record checksums",
     [](const char*, const std::string&, Settings* s) { return s->configBroken = true; }},
    {"The line:", "silent-speeds", "LIST",
     "comma-separated speeds at which the unit's replies are lost",
     [](const char* name, const std::string& value, Settings* s) {
       for (const std::string& part : Split(value, ',')) {
         uint64_t number = 0;
         if (!ParseNumber(part, 10, 1000000, &number) || number == 0) {
           return Bad(name, value, "comma-separated line speeds, such as 28800,14400");
         }
         s->faults.silentSpeeds.insert(static_cast<uint32_t>(number));
       }
       return true;
     }},
    {nullptr, "silent-after-speed-commands", "N",
     "the silent speeds apply only after N speed commands",
     [](const char* name, const std::string& value, Settings* s) {
       return ApplyCount(name, value, 1000000, &s->faults.silentSpeedsAfterSpeedCommands);
     }},
    {nullptr, "pace", nullptr, "real line timing (10 bit times per byte each way)",
     [](const char*, const std::string&, Settings* s) { return s->pace = true; }},
    {nullptr, "follow-speed-commands", nullptr,
     "take the port's speed from the speed commands sent\n"
     "(9600 at first), not from the pseudo-terminal (for\n"
     "programs under Wine, which sets some speeds as others)",
     [](const char*, const std::string&, Settings* s) { return s->followSpeedCommands = true; }},
    {"Faults (ADDR in hex; ATTEMPT counts the checksum queries at ADDR from 0, default 0):",
     "wrong-cs", "ADDR[:ATTEMPT]", "a checksum reply one too high",
     [](const char* name, const std::string& value, Settings* s) {
       return ApplyChecksumFault(name, value, s, ChecksumFaultKind::kWrong);
     }},
    {nullptr, "missing-cs", "ADDR[:ATTEMPT]", "no checksum reply",
     [](const char* name, const std::string& value, Settings* s) {
       return ApplyChecksumFault(name, value, s, ChecksumFaultKind::kMissing);
     }},
    {nullptr, "late-cs", "ADDR[:ATTEMPT]:MS", "the checksum reply MS milliseconds late",
     [](const char* name, const std::string& value, Settings* s) {
       std::vector<std::string> parts = Split(value, ':');
       ChecksumKey key;
       uint64_t number = 0;
       if (parts.size() < 2 || !ParseNumber(parts.back(), 10, 600000, &number)) {
         return Bad(name, value, "ADDR[:ATTEMPT]:MS");
       }
       parts.pop_back();
       if (!ParseKey(parts, &key)) return Bad(name, value, "ADDR[:ATTEMPT]:MS");
       ChecksumFault fault;
       fault.kind = ChecksumFaultKind::kLate;
       fault.delayMs = static_cast<uint32_t>(number);
       s->faults.checksumFaults[key] = fault;
       return true;
     }},
    {nullptr, "stray", "ADDR[:ATTEMPT]:TEXT", "TEXT sent before the checksum reply (\\r \\n \\xHH)",
     [](const char* name, const std::string& value, Settings* s) {
       // ADDR:TEXT or ADDR:ATTEMPT:TEXT; the text may hold colons of its own.
       std::vector<std::string> parts = Split(value, ':');
       if (parts.size() < 2) return Bad(name, value, "ADDR[:ATTEMPT]:TEXT");
       std::vector<std::string> keyParts{parts[0]};
       size_t textFrom = 1;
       uint64_t number = 0;
       if (parts.size() >= 3 && ParseNumber(parts[1], 10, 1000000, &number)) {
         keyParts.push_back(parts[1]);
         textFrom = 2;
       }
       std::string text;
       for (size_t i = textFrom; i < parts.size(); ++i) text += (i > textFrom ? ":" : "") + parts[i];
       ChecksumKey key;
       std::string bytes;
       if (!ParseKey(keyParts, &key) || !Unescape(text, &bytes) || bytes.empty()) {
         return Bad(name, value, "ADDR[:ATTEMPT]:TEXT with a non-empty TEXT");
       }
       s->faults.strayBeforeChecksum[key] = bytes;
       return true;
     }},
    {nullptr, "silent-after-blocks", "N", "silent for good after N data blocks",
     [](const char* name, const std::string& value, Settings* s) {
       return ApplyCount(name, value, 100000000, &s->faults.silentAfterBlocks);
     }},
    {nullptr, "silent-after-checksums", "N", "silent for good after N checksum replies",
     [](const char* name, const std::string& value, Settings* s) {
       return ApplyCount(name, value, 100000000, &s->faults.silentAfterChecksums);
     }},
    {nullptr, "greeting-never-answers", nullptr, "H is answered with \"Err\"",
     [](const char*, const std::string&, Settings* s) {
       return s->faults.greetingNeverAnswers = true;
     }},
    {nullptr, "absent", nullptr, "nothing answers: no unit in update mode",
     [](const char*, const std::string&, Settings* s) { return s->faults.absent = true; }},
    {nullptr, "mistake-address", "ADDR:AS[:TIMES]",
     "the first TIMES (default 1, -1: every) A commands\nnaming ADDR set AS instead",
     [](const char* name, const std::string& value, Settings* s) {
       std::vector<std::string> parts = Split(value, ':');
       uint64_t address = 0;
       uint64_t takenAs = 0;
       uint64_t number = 0;
       if (parts.size() < 2 || parts.size() > 3 ||
           !ParseNumber(parts[0], 16, 0xFFFFFF, &address) ||
           !ParseNumber(parts[1], 16, 0xFFFFFF, &takenAs) ||
           (parts.size() == 3 && parts[2] != "-1" && !ParseNumber(parts[2], 10, 1000000, &number))) {
         return Bad(name, value, "ADDR:AS[:TIMES] (hexadecimal addresses)");
       }
       quorel::sim::UnitFaults::AddressFault fault;
       fault.takenAs = static_cast<uint32_t>(takenAs);
       fault.times = parts.size() < 3 ? 1 : parts[2] == "-1" ? -1 : static_cast<int>(number);
       s->faults.addressFaults[static_cast<uint32_t>(address)] = fault;
       return true;
     }},
    {"Running:", "device", "PATH",
     "serve the far end of an existing line, the terminal\n"
     "device PATH (a USB gadget's serial port, the other\n"
     "end of a pseudo-terminal), instead of a new\n"
     "pseudo-terminal; implies --follow-speed-commands",
     [](const char*, const std::string& value, Settings* s) { s->device = value;
       return true; }},
    {nullptr, "link", "PATH", "a symbolic link to the device at PATH, removed at exit",
     [](const char*, const std::string& value, Settings* s) { s->link = value;
       return true; }},
    {nullptr, "transcript", "FILE",
     "every command the unit took, with time (ms) and speed,\nwritten when the simulator stops",
     [](const char*, const std::string& value, Settings* s) {
       s->transcript = value;
       return true;
     }},
    {nullptr, "memory", "FILE", "the unit's memory 000000..06FFFF as raw bytes, at the end",
     [](const char*, const std::string& value, Settings* s) { s->memory = value;
       return true; }},
    {nullptr, "load-memory", "FILE",
     "start from the memory image FILE that --memory wrote\n"
     "in an earlier run, over what the other options set\n"
     "up: the unit keeps its memory from run to run",
     [](const char*, const std::string& value, Settings* s) {
       s->loadMemory = value;
       return true;
     }},
    {nullptr, "exit-when-done", nullptr,
     "stop once the unit was told to flash or to leave update\n"
     "mode and the line has been quiet for a second",
     [](const char*, const std::string&, Settings* s) { return s->exitWhenDone = true; }},
    {nullptr, "help", nullptr, "this text", nullptr},
};
constexpr size_t kOptionCount = sizeof kSimOptions / sizeof kSimOptions[0];

// Where the help's descriptions begin; a longer option and value take a line of their own.
constexpr size_t kHelpColumn = 30;

std::string HelpText() {
  std::string text =
      "Usage: quorel-sim [OPTION]...\n"
      "Serves one simulated Quorel or QuorelPro unit in update mode on a pseudo-terminal until\n"
      "it is interrupted (SIGINT, SIGTERM, SIGHUP). The first line printed is\n"
      "\"device: /dev/pts/N\": the serial device to give the updater (quorel-update --port\n"
      "/dev/pts/N). Like a real unit, it leaves update mode after a run: start it again for the\n"
      "next run.\n";
  for (const SimOption& o : kSimOptions) {
    if (o.heading != nullptr) text += std::string("\n") + o.heading + "\n";
    std::string line = std::string("  --") + o.name + (o.value != nullptr ? " " : "") +
                       (o.value != nullptr ? o.value : "");
    line += line.size() + 2 <= kHelpColumn ? std::string(kHelpColumn - line.size(), ' ')
                                           : "\n" + std::string(kHelpColumn, ' ');
    for (const char* c = o.help; *c != '\0'; ++c) {
      line += *c;
      if (*c == '\n') line += std::string(kHelpColumn, ' ');
    }
    text += line + "\n";
  }
  return text +
         "\nExit status: 0 when stopped, 1 when the device or an output file fails, 2 for bad "
         "options.\n";
}

// Reads the command line; false (with the message printed) for a bad one.
bool ParseCommandLine(int argc, char** argv, Settings* s, bool* help) {
  std::vector<option> table;
  for (size_t i = 0; i < kOptionCount; ++i) {
    const SimOption& o = kSimOptions[i];
    table.push_back({o.name, o.value != nullptr ? required_argument : no_argument, nullptr,
                     static_cast<int>(i) + 256});
  }
  table.push_back({nullptr, 0, nullptr, 0});
  opterr = 0;
  for (;;) {
    // The leading colon tells a missing value (':') from an unknown option ('?').
    int id = getopt_long(argc, argv, ":", table.data(), nullptr);
    if (id == -1) break;
    if (id == '?' || id == ':') {
      const char* problem = id == ':'     ? "needs a value"
                            : optopt != 0 ? "takes no value"
                                          : "unknown option";
      std::fprintf(stderr, "quorel-sim: %s: %s\n", argv[optind - 1], problem);
      return false;
    }
    const SimOption& o = kSimOptions[id - 256];
    if (o.apply == nullptr) {
      *help = true;
      return true;
    }
    if (!o.apply(o.name, optarg != nullptr ? optarg : "", s)) return false;
  }
  if (optind < argc) {
    std::fprintf(stderr, "quorel-sim: unexpected argument: %s\n", argv[optind]);
    return false;
  }
  const int ways =
      (s->haveChecksum ? 1 : 0) + (s->haveRow ? 1 : 0) + (s->haveModel || s->haveRelease ? 1 : 0);
  if (ways > 1) {
    std::fprintf(stderr,
                 "quorel-sim: give the firmware by one of --checksum, --row or "
                 "--model with --release\n");
    return false;
  }
  if (s->haveModel != s->haveRelease) {
    std::fprintf(stderr, "quorel-sim: --model and --release go together\n");
    return false;
  }
  return true;
}

// Sets up the unit's firmware, configuration and faults, and describes them in *about. False
// when the model and release name no firmware of the table.
bool SetUpUnit(const Settings& s, SimulatedUnit& unit, std::string* about) {
  char line[200];
  const quorel::FirmwarePayload& payload = quorel::CompiledPayload();
  const quorel::ReleaseTable& table = payload.releaseTable;
  uint32_t checksum = 0;
  if (s.haveChecksum) {
    checksum = s.checksum;
  } else if (s.haveRow) {
    checksum = table.checksum[s.row];
  } else {
    quorel::ProductKind model = s.haveModel ? s.model : quorel::kProModel;
    quorel::ReleaseCode release = s.haveRelease ? s.release : 0x042303;
    if (!quorel::sim::ChecksumOfRelease(payload, model, release, &checksum)) {
      std::fprintf(stderr, "quorel-sim: the release table has no %s firmware of release %06x\n",
                   quorel::ModelName(model), release);
      return false;
    }
  }
  const uint32_t row = quorel::FindReleaseRow(table, checksum);
  const bool known = row < table.rows;
  if (known) {
    std::snprintf(line, sizeof line,
                  "unit: %s on release %06x (code-region checksum %x, release-table row %u)\n",
                  quorel::ModelName(table.kind[row]), table.code[row],
                  checksum, row);
  } else {
    std::snprintf(line, sizeof line,
                  "unit: unknown firmware (code-region checksum %x, in no release-table row)\n",
                  checksum);
  }
  *about = line;

  uint32_t recordSize = 0;
  std::string layout = s.config;
  if (layout == "auto") {
    if (known) {
      recordSize = quorel::sim::RecordSizeOfRelease(table.kind[row], table.code[row]);
    } else {
      layout = "none";
    }
  } else if (layout == "v1") {
    recordSize = quorel::sim::layout::kRecordV1;
  } else if (layout == "v2") {
    recordSize = quorel::sim::layout::kRecordV2;
  } else if (layout == "v3") {
    recordSize = quorel::sim::layout::kRecordV3;
  }
  if (recordSize != 0) {
    unit.WriteConfigRecords(recordSize, s.configSeed, !s.configBroken);
    std::snprintf(line, sizeof line, "configuration: six records of %u bytes, seed %u%s\n",
                  recordSize, s.configSeed, s.configBroken ? ", wrong record checksums" : "");
    *about += line;
  } else if (layout == "zero") {
    unit.FillConfigRegion(0x00);
    *about += "configuration: region all 00\n";
  } else if (layout == "ff") {
    unit.FillConfigRegion(0xFF);
    *about += "configuration: region all FF\n";
  } else {
    *about += "configuration: none\n";
  }
  // After the records: six records of the largest layout reach past 0x8000, into the code
  // region, whose checksum identifies the firmware.
  unit.SetCodeRegionChecksum(checksum);
  unit.faults() = s.faults;
  return true;
}

// --load-memory: the image of 000000..06FFFF an earlier run wrote with --memory, laid over the
// unit's memory. False (with the message printed) when it cannot be read or has another size.
bool LoadMemory(const std::string& path, SimulatedUnit& unit, std::string* about) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    std::fprintf(stderr, "quorel-sim: --load-memory %s: %s\n", path.c_str(), std::strerror(errno));
    return false;
  }
  std::vector<uint8_t> image(kMemoryDumpEnd + 1);
  const size_t got = std::fread(image.data(), 1, image.size(), file);
  std::fclose(file);
  if (got != kMemoryDumpEnd) {
    std::fprintf(stderr,
                 "quorel-sim: --load-memory %s: not a memory image of --memory (%u bytes)\n",
                 path.c_str(), kMemoryDumpEnd);
    return false;
  }
  std::copy(image.begin(), image.begin() + kMemoryDumpEnd, unit.memory().begin());
  const uint32_t checksum =
      unit.MemorySum(quorel::sim::layout::kCodeRegionStart, quorel::sim::layout::kCodeRegionLength);
  char line[200];
  std::snprintf(line, sizeof line, "memory: loaded from %s (code-region checksum now %x)\n",
                path.c_str(), checksum);
  *about += line;
  return true;
}

PtyUnitServer* g_server = nullptr;

void OnSignal(int) {
  if (g_server != nullptr) g_server->RequestStop();
}

void InstallSignalHandlers() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

bool WriteFile(const std::string& path, const void* data, size_t size) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    std::fprintf(stderr, "quorel-sim: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
    return false;
  }
  bool ok = std::fwrite(data, 1, size, file) == size;
  ok = std::fclose(file) == 0 && ok;
  if (!ok) std::fprintf(stderr, "quorel-sim: cannot write %s\n", path.c_str());
  return ok;
}

// A link left by an earlier run that was killed is replaced; anything else at PATH is kept.
bool MakeLink(const std::string& path, const std::string& device) {
  struct stat info;
  if (lstat(path.c_str(), &info) == 0) {
    if (!S_ISLNK(info.st_mode)) {
      std::fprintf(stderr, "quorel-sim: --link %s: exists and is no symbolic link\n", path.c_str());
      return false;
    }
    unlink(path.c_str());
  }
  if (symlink(device.c_str(), path.c_str()) != 0) {
    std::fprintf(stderr, "quorel-sim: --link %s: %s\n", path.c_str(), std::strerror(errno));
    return false;
  }
  return true;
}

void RemoveLink(const std::string& path, const std::string& device) {
  char target[4096] = {};
  ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
  if (length > 0 && device == std::string(target, static_cast<size_t>(length))) {
    unlink(path.c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  // The device line must reach a reader on a pipe at once.
  setvbuf(stdout, nullptr, _IOLBF, 0);
  Settings settings;
  bool help = false;
  if (!ParseCommandLine(argc, argv, &settings, &help)) {
    std::fprintf(stderr, "Try 'quorel-sim --help' for more information.\n");
    return kExitUsage;
  }
  if (help) {
    std::fputs(HelpText().c_str(), stdout);
    return kExitStopped;
  }

  SimulatedUnit unit;
  std::string about;
  if (!SetUpUnit(settings, unit, &about)) return kExitUsage;
  if (!settings.loadMemory.empty() && !LoadMemory(settings.loadMemory, unit, &about)) {
    return kExitFailed;
  }
  quorel::sim::PtyServeOptions options;
  options.pace = settings.pace;
  options.stopWhenDone = settings.exitWhenDone;
  options.followSpeedCommands = settings.followSpeedCommands;
  PtyUnitServer server(unit, options);
  std::string error;
  const bool opened = settings.device.empty() ? server.Open(&error)
                                              : server.OpenDevice(settings.device, &error);
  if (!opened) {
    std::fprintf(stderr, "quorel-sim: %s\n", error.c_str());
    return kExitFailed;
  }
  // The link exists before the device is announced: a reader of the first line may use either.
  if (!settings.link.empty() && !MakeLink(settings.link, server.devicePath())) return kExitFailed;
  g_server = &server;
  InstallSignalHandlers();
  std::printf("device: %s\n", server.devicePath().c_str());
  std::fputs(about.c_str(), stdout);
  if (!settings.link.empty()) {
    std::printf("link: %s -> %s\n", settings.link.c_str(), server.devicePath().c_str());
  }
  std::printf("serving%s\n", settings.pace ? " with real line timing" : "");

  server.Serve();

  int status = kExitStopped;
  if (!settings.link.empty()) RemoveLink(settings.link, server.devicePath());
  if (!settings.transcript.empty()) {
    std::string text = unit.TranscriptText();
    if (!WriteFile(settings.transcript, text.data(), text.size())) status = kExitFailed;
  }
  if (!settings.memory.empty() &&
      !WriteFile(settings.memory, unit.memory().data(), kMemoryDumpEnd)) {
    status = kExitFailed;
  }
  quorel::sim::PtyServerStats stats = server.stats();
  std::printf("stopped%s: %zu commands taken, %" PRIu64
              " bytes; flashed: %s; left update "
              "mode: %s\n",
              server.finished() ? " (unit done)" : "", unit.transcript().size(), stats.bytesTaken,
              unit.flashed() ? "yes" : "no", unit.leftUpdateMode() ? "yes" : "no");
  g_server = nullptr;
  return status;
}
