// Where plugins may be run from: the key plugin_dir, one or more
// directories separated by ":".
#pragma once

#include <string>
#include <vector>

// The directories of text, each by its real path when it can be resolved
// (as written otherwise); empty entries are skipped. Empty: no restriction.
std::vector<std::string> parsePluginDirs(const std::string& text);

// True when dirs is empty, or when the real path of plugin_path (every
// symbolic link resolved) lies inside one of dirs. A path that cannot be
// resolved is not inside anything. *checked becomes the real path that
// passed (empty when dirs is empty or nothing passed): the file to start,
// since plugin_path may point elsewhere by the time it is started.
bool pluginAllowed(const std::string& plugin_path, const std::vector<std::string>& dirs,
                   std::string* checked);
