#include "common/copies_aside.h"

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace quorel::sim {

namespace {

std::string& AsideFolder() {
  static std::string folder;
  return folder;
}

void RemoveAsideFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(AsideFolder(), ignored);
}

}  // namespace

bool KeepSettingsCopiesAside() {
  if (!AsideFolder().empty()) return true;
  char name[] = "/tmp/quorel-tool-copies-XXXXXX";
  if (mkdtemp(name) == nullptr) return false;
  AsideFolder() = name;
  std::atexit(RemoveAsideFolder);
  return setenv("XDG_STATE_HOME", name, 1) == 0;
}

}  // namespace quorel::sim
