#pragma once
// A copy of the unit's configuration region as it was read, before anything is written back:
// the bytes in one file (byte k read from unit address 0x4000 + k) and a text beside it,
// FILE.txt, that says whose they are, which record layout they hold, each record's stored and
// computed checksums, and when they were saved. Both files are written whole or not at all.
#include <cstdint>
#include <ctime>
#include <string>

namespace quorel {

// "oldest", "middle" or "newest" for a record size of 2480, 2512 or 2808 bytes.
const char* ConfigLayoutName(uint32_t recordSize);

struct SavedConfigFacts {
  std::string unit;         // the unit's model and release, or that it was not identified
  uint32_t recordSize = 0;  // the layout found: 2480, 2512 or 2808; 0 when none was recognised
  std::time_t savedAt = 0;
};

// The text of FILE.txt for the length bytes read.
std::string SavedConfigText(const uint8_t* bytes, uint32_t length, const SavedConfigFacts& facts);

// Checks, before the run talks to the unit, that path and path.txt can be written: their
// temporary files are created and removed again. False with *error saying which and why.
bool CanSaveConfig(const std::string& path, std::string* error);

// Writes the bytes to path and the text to path.txt, each under a temporary name first and
// renamed once complete and flushed. False with *error saying which and why; a temporary file
// is then removed, and a final name holds either its earlier contents or the complete new ones.
bool SaveConfigFiles(const std::string& path, const uint8_t* bytes, uint32_t length,
                     const std::string& text, std::string* error);

}  // namespace quorel
