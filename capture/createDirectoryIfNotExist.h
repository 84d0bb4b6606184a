// Creation of a channel's capture directory.
#pragma once

#include <string>

// Creates path as one directory when nothing exists under that name; does
// nothing when anything (a directory, a plain file) already does. Parents
// are not created. Returns 0; raises boost::filesystem::filesystem_error
// when the status cannot be read or the directory cannot be created.
int createDirectoryIfNotExist(std::string path);
