#include <windows.h>

#include <cstdlib>

#include "os/error_text_win32.h"
#include "os/state_folder.h"

namespace quorel {

const char kCopyFolderHelp[] = "%LOCALAPPDATA%\\quorel-update";

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

}  // namespace

std::string SettingsCopyFolder(std::string* error) {
  const char* local = std::getenv("LOCALAPPDATA");
  if (local != nullptr && local[0] != '\0') return JoinPath(local, "quorel-update");
  *error = "LOCALAPPDATA is not set";
  return "";
}

bool MakeFolders(const std::string& path, std::string* error) {
  // From the first separator after a drive ("C:\") or a share's name on.
  for (size_t at = 1; at <= path.size(); ++at) {
    if (at < path.size() && !IsSeparator(path[at])) continue;
    const std::string part = path.substr(0, at);
    if (part.size() == 2 && part[1] == ':') continue;
    if (CreateDirectoryA(part.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS ||
        GetLastError() == ERROR_ACCESS_DENIED) {
      continue;
    }
    *error = part + ": " + Win32ErrorText(GetLastError());
    return false;
  }
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    *error = path + ": not a folder";
    return false;
  }
  return true;
}

std::vector<std::string> FilesInFolder(const std::string& folder) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(JoinPath(folder, "*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    if (found.cFileName[0] != '.') names.push_back(found.cFileName);
  } while (FindNextFileA(search, &found));
  FindClose(search);
  return names;
}

bool PathExists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (!folder.empty() && IsSeparator(folder.back())) return folder + name;
  return folder + "\\" + name;
}

}  // namespace quorel
