// Line rules of the configuration file (see iniConfig.h for the contract).
#include "iniConfig.h"

#include <climits>
#include <fstream>
#include <sstream>

#include "exceptions.h"

namespace {

// One pass over leading spaces, then one over leading tabs: a tab followed
// by spaces keeps the spaces, as operators' existing files rely on.
std::string stripLeading(const std::string& line) {
  std::string::size_type start = line.find_first_not_of(' ');
  if (start == std::string::npos) return std::string();
  std::string rest = line.substr(start);
  start = rest.find_first_not_of('\t');
  return start == std::string::npos ? std::string() : rest.substr(start);
}

// A line speaks for a key through its name alone: what follows the "=" is
// a value (a path, a password) and must never answer for another key.
bool namesKey(const std::string& line, const std::string& key) {
  return line.substr(0, line.find('=')).find(key) != std::string::npos;
}

std::string valueAfterEquals(const std::string& line) {
  std::string::size_type equals = line.find('=');
  return equals == std::string::npos ? std::string() : line.substr(equals + 1);
}

}  // namespace

iniConfig::iniConfig(std::string filename) : filename(std::move(filename)) {}

// True with *value set when the key has a line; false when the section or
// the key is missing.
bool iniConfig::findKey(const std::string& section, const std::string& key, std::string* value) {
  std::ifstream file(filename);
  if (!file.is_open()) throw FileException("error: can't open file");
  const std::string header = "[" + section + "]";
  bool inside = false;
  std::string raw;
  while (std::getline(file, raw)) {
    std::string line = stripLeading(raw);
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '[' && inside) return false;
    if (line != header && !inside) continue;
    if (namesKey(line, key)) {
      *value = valueAfterEquals(line);
      return true;
    }
    inside = true;
  }
  return false;
}

std::string iniConfig::getKey(std::string section, std::string key) {
  std::string value;
  findKey(section, key, &value);
  return value;
}

bool iniConfig::hasKey(const std::string& section, const std::string& key) {
  std::string value;
  return findKey(section, key, &value);
}

int iniConfig::getKeyToInt(std::string section, std::string key) {
  std::istringstream stream(getKey(section, key));
  long long value = 0;
  stream >> value;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}
