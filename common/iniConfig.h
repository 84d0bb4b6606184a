// Reader of the INI configuration file, one key per call, file re-read each time.
#pragma once

#include <string>

// Not thread-safe by design: the programs read their configuration from the
// main thread only. Every call opens its own stream and closes it.
class iniConfig {
 public:
  explicit iniConfig(std::string filename);
  ~iniConfig() = default;

  // Value of the first line of the first [section] whose text before its
  // first '=' contains key (substring match: PGSQL_db_old= answers for
  // PGSQL_db), taken after that '='. Empty when the section or key is
  // missing. Throws FileException("error: can't open file").
  std::string getKey(std::string section, std::string key);

  // getKey read as a decimal int by stream extraction, clamped to the int
  // range; 0 when no number starts the value.
  int getKeyToInt(std::string section, std::string key);

  // Whether getKey finds a line for the key (even one with an empty value):
  // tells a key left out, which keeps its default, from one set to nothing.
  bool hasKey(const std::string& section, const std::string& key);

  std::string filename;

 private:
  bool findKey(const std::string& section, const std::string& key, std::string* value);
};
