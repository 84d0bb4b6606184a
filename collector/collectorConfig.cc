// Numeric configuration keys: refused with a clear line rather than a crash.
#include "collectorConfig.h"

#include <stdexcept>

#include "log.h"

bool readPositiveKey(iniConfig& config, const std::string& section, const std::string& key,
                     int minimum, int* value) {
  const std::string text = config.getKey(section, key);
  std::string problem;
  try {
    *value = std::stoi(text);
    if (*value < minimum) problem = "must be at least " + std::to_string(minimum);
  } catch (const std::invalid_argument&) {
    problem = text.empty() ? "is missing" : "is not a number";
  } catch (const std::out_of_range&) {
    problem = "is out of range";
  }
  if (problem.empty()) return true;
  write_log("ERR", "configuration " + config.filename + ": [" + section + "] " + key + "='" +
                       text + "' " + problem);
  return false;
}
