#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "os/state_folder.h"

namespace quorel {

const char kCopyFolderHelp[] =
    "$XDG_STATE_HOME/quorel-update (by default ~/.local/state/quorel-update)";

std::string SettingsCopyFolder(std::string* error) {
  // A relative XDG_STATE_HOME is ignored, as the base-directory convention asks.
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') return JoinPath(state, "quorel-update");
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') return JoinPath(home, ".local/state/quorel-update");
  *error = "neither XDG_STATE_HOME nor HOME is set";
  return "";
}

bool MakeFolders(const std::string& path, std::string* error) {
  for (size_t at = 1; at <= path.size(); ++at) {
    if (at < path.size() && path[at] != '/') continue;
    const std::string part = path.substr(0, at);
    if (mkdir(part.c_str(), 0700) == 0 || errno == EEXIST) continue;
    *error = part + ": " + std::strerror(errno);
    return false;
  }
  struct stat info;
  if (stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    *error = path + ": not a folder";
    return false;
  }
  return true;
}

std::vector<std::string> FilesInFolder(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') names.push_back(entry->d_name);
  }
  closedir(dir);
  return names;
}

bool PathExists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (!folder.empty() && folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

}  // namespace quorel
