// The automatic settings copies and the copy given with --restore-config.
#include "copies/settings_copies.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "config/records.h"
#include "copies/saved_config.h"
#include "os/state_folder.h"
#include "payload/release_code.h"
#include "copies/config_copy.h"

namespace quorel {

namespace {

constexpr char kCopyExtension[] = ".cfg";

// "QuorelPro-042303-" for an identified unit, "QuorelPro-csum1234abcd-" for one that was not
// (of the payload's model, which the format check assumes).
std::string CopyNamePrefix(const UpdateState& s) {
  const ReleaseTable& table = s.payload.releaseTable;
  char text[64];
  if (s.facts.unitUnidentified || s.facts.releaseRow >= table.rows) {
    std::snprintf(text, sizeof text, "%s-csum%x-", ModelName(s.payload.productKind),
                  s.facts.unitChecksum);
  } else {
    std::snprintf(text, sizeof text, "%s-%06x-", ModelName(table.kind[s.facts.releaseRow]),
                  table.code[s.facts.releaseRow]);
  }
  return text;
}

// Reads "YYYYMMDDTHHMMSSZ" and an optional "-N" between prefix and extension. False for any
// other name.
bool ParseCopyName(const std::string& name, const std::string& prefix, std::string* stamp,
                   int* number) {
  const size_t extension = std::strlen(kCopyExtension);
  if (name.size() < prefix.size() + 16 + extension || name.compare(0, prefix.size(), prefix) != 0 ||
      name.compare(name.size() - extension, extension, kCopyExtension) != 0) {
    return false;
  }
  *stamp = name.substr(prefix.size(), 16);
  for (size_t i = 0; i < 16; ++i) {
    const char c = (*stamp)[i];
    const bool ok = i == 8 ? c == 'T' : i == 15 ? c == 'Z' : c >= '0' && c <= '9';
    if (!ok) return false;
  }
  const std::string rest = name.substr(prefix.size() + 16, name.size() - prefix.size() - 16 - extension);
  *number = 1;
  if (rest.empty()) return true;
  if (rest.size() < 2 || rest.size() > 6 || rest[0] != '-') return false;
  *number = 0;
  for (size_t i = 1; i < rest.size(); ++i) {
    if (rest[i] < '0' || rest[i] > '9') return false;
    *number = *number * 10 + (rest[i] - '0');
  }
  return *number >= 2;
}

std::string StampText(const std::string& stamp) {
  return stamp.substr(0, 4) + "-" + stamp.substr(4, 2) + "-" + stamp.substr(6, 2) + " " +
         stamp.substr(9, 2) + ":" + stamp.substr(11, 2) + ":" + stamp.substr(13, 2) + " UTC";
}

// A path as the owner types it: quoted when it holds a blank.
std::string CommandPath(const std::string& path) {
  return path.find(' ') == std::string::npos ? path : "\"" + path + "\"";
}

// The record size the payload's firmware reads: the oldest layout before 042403.
uint32_t PayloadRecordSize(const FirmwarePayload& payload) {
  if (IsOlder(payload.releaseCode, kRecordV2Release)) return kRecordV1Size;
  return TargetRecordSize(payload.productKind, payload.releaseCode);
}

bool AllRecordsPass(const uint8_t* bytes, uint32_t size) {
  for (uint32_t r = 0; r < kConfigRecordCount; ++r) {
    if (!RecordPassesChecksum(bytes + r * size, size)) return false;
  }
  return true;
}

}  // namespace

bool LoadSettingsCopy(const std::string& path, std::vector<uint8_t>* bytes, uint32_t* recordSize,
                      std::string* why) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    *why = std::strerror(errno);
    return false;
  }
  bytes->assign(kSettingsCopyLength + 1, 0);
  const size_t got = std::fread(bytes->data(), 1, bytes->size(), file);
  std::fclose(file);
  if (got != kSettingsCopyLength) {
    char text[120];
    std::snprintf(text, sizeof text, "it holds %s%zu bytes, a copy holds %u",
                  got > kSettingsCopyLength ? "more than " : "", got > kSettingsCopyLength ? got - 1 : got,
                  kSettingsCopyLength);
    *why = text;
    return false;
  }
  bytes->resize(kSettingsCopyLength);
  const bool oldest = AllRecordsPass(bytes->data(), kRecordV1Size);
  const bool middle = AllRecordsPass(bytes->data(), kRecordV2Size);
  if (oldest == middle) {
    *why = oldest ? "its records pass in both layouts, so their layout cannot be told"
                  : "not all six records pass their checksum test in one layout";
    return false;
  }
  *recordSize = oldest ? kRecordV1Size : kRecordV2Size;
  return true;
}

bool CheckRestoreFile(UpdateState& s) {
  const std::string& path = s.options.restoreConfigPath;
  if (path.empty()) return true;
  std::string why;
  uint32_t size = 0;
  if (!LoadSettingsCopy(path, &s.requests.restoreBytes, &size, &why)) {
    Print(s.console, "Error, cannot restore the settings from %s: %s\n", path.c_str(), why.c_str());
    return false;
  }
  const uint32_t payloadSize = PayloadRecordSize(s.payload);
  if (payloadSize == kRecordV1Size) {
    Print(s.console,
          "Error, cannot restore the settings from %s: this firmware (%06x) reads the oldest "
          "layout, which a restore does not write\n",
          path.c_str(), s.payload.releaseCode);
    return false;
  }
  if (size > payloadSize) {
    Print(s.console,
          "Error, cannot restore the settings from %s: its records are in a newer layout than "
          "this firmware (%06x) reads\n",
          path.c_str(), s.payload.releaseCode);
    return false;
  }
  s.requests.restoreRecordSize = size;
  return true;
}

std::vector<KeptCopy> KeptCopiesOfUnit(const UpdateState& s) {
  struct Found {
    std::string stamp;
    int number;
    std::string path;
  };
  std::vector<Found> found;
  if (s.requests.copyFolder.empty()) return {};
  const std::string prefix = CopyNamePrefix(s);
  for (const std::string& name : FilesInFolder(s.requests.copyFolder)) {
    Found entry;
    if (!ParseCopyName(name, prefix, &entry.stamp, &entry.number)) continue;
    entry.path = JoinPath(s.requests.copyFolder, name);
    std::vector<uint8_t> bytes;
    uint32_t size = 0;
    std::string why;
    if (!LoadSettingsCopy(entry.path, &bytes, &size, &why)) continue;
    found.push_back(entry);
  }
  std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
    return a.stamp != b.stamp ? a.stamp > b.stamp : a.number > b.number;
  });
  std::vector<KeptCopy> copies;
  for (const Found& entry : found) copies.push_back({entry.path, StampText(entry.stamp)});
  return copies;
}

PhaseResult KeepAutomaticCopy(UpdateState& s, uint32_t length) {
  std::string folder = s.requests.copyFolder;
  std::string error = s.requests.copyFolderError;
  if (!folder.empty() && MakeFolders(folder, &error)) {
    const std::time_t now = std::time(nullptr);
    char stamp[32] = "00000000T000000Z";
    const std::tm* utc = std::gmtime(&now);
    if (utc != nullptr) std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", utc);
    // Never over an earlier copy: a second copy within the same second is numbered.
    std::string path;
    for (int n = 1; n < 1000; ++n) {
      const std::string name = CopyNamePrefix(s) + stamp + (n > 1 ? "-" + std::to_string(n) : "") +
                               kCopyExtension;
      path = JoinPath(folder, name);
      if (!PathExists(path) && !PathExists(path + ".txt")) break;
      path.clear();
    }
    SavedConfigFacts facts;
    facts.unit = UnitDescription(s);
    facts.recordSize = ConfigLayoutFound(s);
    facts.savedAt = now;
    const uint8_t* bytes = s.facts.configReadout.data();
    if (path.empty()) {
      error = folder + ": too many copies of this second";
    } else if (SaveConfigFiles(path, bytes, length, SavedConfigText(bytes, length, facts), &error)) {
      s.facts.runCopyPath = path;
      Print(s.console, "\nCopy of the settings kept in %s\n", path.c_str());
      return kGoOn;
    }
  }
  Print(s.console,
        "\nError, cannot keep a copy of the unit's settings in the folder %s (%s)\n"
        "Nothing was written to the unit. To keep the copy elsewhere, run again with\n"
        "--save-config FILE. Update exiting\n",
        folder.empty() ? "for them" : folder.c_str(), error.c_str());
  return EndRun(kStatusFailed);
}

void PrintRestoreCommands(UpdateState& s, const std::vector<KeptCopy>& copies) {
  if (copies.size() == 1) {
    Print(s.console, "To put the settings back, put the unit in update mode again and run this\n"
                     "command, with your port option (--port or -cX) added:\n");
  } else {
    Print(s.console,
          "To put the settings back, put the unit in update mode again and run the command of\n"
          "the copy taken from this unit (newest first; the unit gives no serial number to tell\n"
          "them apart), with your port option (--port or -cX) added:\n");
  }
  for (const KeptCopy& copy : copies) {
    Print(s.console, "  copy of %s:\n    quorel-update --restore-config %s\n",
          copy.savedAt.c_str(), CommandPath(copy.path).c_str());
  }
}

void TellHowToRestoreAfterCut(UpdateState& s) {
  if (!s.facts.writeBackStarted || s.facts.writeBackDone) return;
  Print(s.console, "The unit's settings are partly written back.\n");
  if (s.facts.runCopyPath.empty()) {
    Print(s.console, "This run kept no copy of them: they were not whole records of one layout.\n");
    return;
  }
  std::string savedAt = "this run";
  PrintRestoreCommands(s, {{s.facts.runCopyPath, savedAt}});
}

}  // namespace quorel
