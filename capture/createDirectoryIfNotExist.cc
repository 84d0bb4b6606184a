// createDirectoryIfNotExist: one level only, so a mistyped datadir shows up
// as an error instead of a new directory tree.
#include "createDirectoryIfNotExist.h"

#include <boost/filesystem.hpp>

int createDirectoryIfNotExist(std::string path) {
  namespace fs = boost::filesystem;
  const fs::file_status status = fs::status(path);
  if (!fs::exists(status) || status.type() == fs::status_unknown) fs::create_directory(path);
  return 0;
}
