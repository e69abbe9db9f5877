// The configuration copy: its text, and both files put in place through temporary names.
#include "copies/saved_config.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "config/records.h"
#include "os/file_replace.h"

namespace quorel {

namespace {

std::string TemporaryName(const std::string& path) { return path + ".part"; }

// Writes data to path's temporary file and renames it to path once flushed to the disk.
bool PutFileInPlace(const std::string& path, const void* data, size_t length,
                    std::string* error) {
  const std::string temporary = TemporaryName(path);
  std::FILE* file = std::fopen(temporary.c_str(), "wb");
  if (file == nullptr) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  std::string why;
  bool written = std::fwrite(data, 1, length, file) == length;
  if (!written) why = std::strerror(errno);
  if (written && !FlushFileToDisk(file, &why)) written = false;
  if (std::fclose(file) != 0 && written) {
    why = std::strerror(errno);
    written = false;
  }
  if (written && RenameReplacing(temporary, path, &why)) return true;
  std::remove(temporary.c_str());
  *error = path + ": " + why;
  return false;
}

}  // namespace

const char* ConfigLayoutName(uint32_t recordSize) {
  switch (recordSize) {
    case kRecordV1Size:
      return "oldest";
    case kRecordV2Size:
      return "middle";
    case kRecordV3Size:
      return "newest";
    default:
      return "unknown";
  }
}

std::string SavedConfigText(const uint8_t* bytes, uint32_t length, const SavedConfigFacts& facts) {
  std::string text = "Configuration copy of " + facts.unit + "\n";
  char line[160];
  std::snprintf(line, sizeof line,
                "Bytes: %u, byte k read from unit address 0x4000 + k (%06X to %06X)\n", length,
                kConfigRegionBase, kConfigRegionBase + length - 1);
  text += line;
  // Without a recognised layout the records are shown as the readout reads them.
  const uint32_t size = facts.recordSize != 0 ? facts.recordSize : kRecordV2Size;
  if (facts.recordSize != 0) {
    std::snprintf(line, sizeof line, "Layout found: %s (%u-byte records)\n",
                  ConfigLayoutName(size), size);
  } else {
    std::snprintf(line, sizeof line, "Layout found: none recognised (records shown as %u bytes)\n",
                  size);
  }
  text += line;
  text += "Record checksums (a record passes when they agree and are not 0):\n";
  for (uint32_t r = 0; r < kConfigRecordCount; ++r) {
    const uint32_t offset = r * size;
    if (offset + size > length) {
      std::snprintf(line, sizeof line, "  record %u at %06X: beyond the bytes read\n", r,
                    kConfigRegionBase + offset);
    } else {
      const uint8_t* record = bytes + offset;
      std::snprintf(line, sizeof line, "  record %u at %06X: stored %04x, computed %04x\n", r,
                    kConfigRegionBase + offset, StoredRecordChecksum(record, size),
                    RecordChecksum(record, ChecksumOffset(size)));
    }
    text += line;
  }
  char date[64] = "unknown";
  const std::tm* utc = std::gmtime(&facts.savedAt);
  if (utc != nullptr) std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S UTC", utc);
  text += std::string("Saved: ") + date + "\n";
  return text;
}

bool CanSaveConfig(const std::string& path, std::string* error) {
  for (const std::string& name : {path, path + ".txt"}) {
    // An existing file must be one that can be written (not a directory, not read-only).
    std::FILE* existing = std::fopen(name.c_str(), "r+b");
    if (existing != nullptr) {
      std::fclose(existing);
    } else if (errno != ENOENT) {
      *error = name + ": " + std::strerror(errno);
      return false;
    }
    // The temporary file is created as the save will create it, and removed again unless it
    // was there before (what the run did not make, it leaves).
    const std::string temporary = TemporaryName(name);
    std::FILE* before = std::fopen(temporary.c_str(), "rb");
    if (before != nullptr) std::fclose(before);
    std::FILE* file = std::fopen(temporary.c_str(), "ab");
    if (file == nullptr) {
      *error = name + ": " + std::strerror(errno);
      return false;
    }
    std::fclose(file);
    if (before == nullptr) std::remove(temporary.c_str());
  }
  return true;
}

bool SaveConfigFiles(const std::string& path, const uint8_t* bytes, uint32_t length,
                     const std::string& text, std::string* error) {
  return PutFileInPlace(path, bytes, length, error) &&
         PutFileInPlace(path + ".txt", text.data(), text.size(), error);
}

}  // namespace quorel
