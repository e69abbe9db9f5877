#pragma once
// The user's folder for what a program keeps between runs, and the few folder operations the
// automatic settings copies need: $XDG_STATE_HOME/quorel-update (~/.local/state/quorel-update
// when XDG_STATE_HOME is unset) on POSIX systems, %LOCALAPPDATA%\quorel-update on Windows.
#include <string>
#include <vector>

namespace quorel {

// The folder as --help names it.
extern const char kCopyFolderHelp[];

// The folder, read from the environment now. Empty, with *error saying why, when the
// environment names no folder for it.
std::string SettingsCopyFolder(std::string* error);

// Creates path and the folders above it that are missing. False with *error why.
bool MakeFolders(const std::string& path, std::string* error);

// The names of the files in folder (none when it cannot be read).
std::vector<std::string> FilesInFolder(const std::string& folder);

// Whether anything exists at path.
bool PathExists(const std::string& path);

// folder and name joined with the system's separator.
std::string JoinPath(const std::string& folder, const std::string& name);

}  // namespace quorel
