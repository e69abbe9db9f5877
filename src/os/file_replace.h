#pragma once
// Putting a file in place whole: the contents go to a temporary name first, are flushed to the
// disk, and the temporary file then takes the final name in one step, replacing what was there.
// A reader never sees a half-written file under the final name.
#include <cstdio>
#include <string>

namespace quorel {

// Flushes an open file's written data to the disk. False (with *error why) when that fails.
bool FlushFileToDisk(std::FILE* file, std::string* error);

// Renames from to to, replacing an existing to. False (with *error why) when that fails;
// from is then left as it is.
bool RenameReplacing(const std::string& from, const std::string& to, std::string* error);

}  // namespace quorel
