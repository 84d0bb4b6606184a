// Reading and checking the scheduler's numeric configuration keys.
#pragma once

#include <string>

#include "iniConfig.h"

// Reads section/key as an int the way stoi does (leading blanks, digits,
// the rest ignored). Logs an "ERR" line naming the file, section, key and
// value and returns false when the value is missing, not a number, out of
// range or below minimum.
bool readPositiveKey(iniConfig& config, const std::string& section, const std::string& key,
                     int minimum, int* value);
