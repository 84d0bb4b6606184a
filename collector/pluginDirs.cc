// Plugin directories: the database names the program, the configuration
// names where programs may come from.
#include "pluginDirs.h"

#include <climits>
#include <cstdlib>

namespace {

// Empty when path cannot be resolved.
std::string realPath(const std::string& path) {
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

}  // namespace

std::vector<std::string> parsePluginDirs(const std::string& text) {
  std::vector<std::string> dirs;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(':', start);
    if (end == std::string::npos) end = text.size();
    std::string dir = text.substr(start, end - start);
    if (!dir.empty()) {
      const std::string real = realPath(dir);
      dir = real.empty() ? dir : real;
      while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
      dirs.push_back(dir);
    }
    start = end + 1;
  }
  return dirs;
}

bool pluginAllowed(const std::string& plugin_path, const std::vector<std::string>& dirs,
                   std::string* checked) {
  checked->clear();
  if (dirs.empty()) return true;
  const std::string real = realPath(plugin_path);
  if (real.empty()) return false;
  for (const std::string& dir : dirs) {
    const std::string prefix = dir == "/" ? dir : dir + "/";
    if (real.compare(0, prefix.size(), prefix) != 0) continue;
    *checked = real;
    return true;
  }
  return false;
}
