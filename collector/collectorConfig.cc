// The scheduler's keys: a bad value is refused with a clear line rather
// than a crash or a silent default.
#include "collectorConfig.h"

#include <cctype>
#include <limits>
#include <stdexcept>
#include <utility>

#include "connectLine.h"
#include "convertTo.h"

#include "metricsServer.h"
#include "pluginDirs.h"

namespace {

std::string describe(iniConfig& config, const std::string& section, const std::string& key,
                     const std::string& text, const std::string& problem) {
  return "configuration " + config.filename + ": [" + section + "] " + key + "='" + text + "' " +
         problem;
}

// A required number, read as stoi reads it; false with *problem set when
// it is missing, not a number, out of range or below minimum.
bool readRequired(iniConfig& config, const std::string& section, const std::string& key,
                  int minimum, int* value, std::string* problem) {
  const std::string text = config.getKey(section, key);
  std::string why;
  try {
    *value = std::stoi(text);
    if (*value < minimum) why = "must be at least " + std::to_string(minimum);
  } catch (const std::invalid_argument&) {
    why = text.empty() ? "is missing" : "is not a number";
  } catch (const std::out_of_range&) {
    why = "is out of range";
  }
  if (why.empty()) return true;
  *problem = describe(config, section, key, text, why);
  return false;
}

// An optional whole number: missing or empty keeps *value; blanks around
// the digits are allowed, anything else is refused.
template <typename Number>
bool readOptional(iniConfig& config, const std::string& section, const std::string& key,
                  Number minimum, Number* value, std::string* problem) {
  const std::string text = config.getKey(section, key);
  size_t begin = text.find_first_not_of(" \t\r");
  if (begin == std::string::npos) return true;
  const size_t end = text.find_last_not_of(" \t\r") + 1;
  unsigned long long number = 0;
  std::string why;
  for (size_t i = begin; i < end && why.empty(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) why = "is not a whole number";
    else if (number > static_cast<unsigned long long>(std::numeric_limits<Number>::max()) / 10)
      why = "is out of range";
    else number = number * 10 + static_cast<unsigned>(text[i] - '0');
  }
  if (why.empty() && number > static_cast<unsigned long long>(std::numeric_limits<Number>::max()))
    why = "is out of range";
  if (why.empty() && number < static_cast<unsigned long long>(minimum))
    why = "must be at least " + std::to_string(minimum);
  if (why.empty()) {
    *value = static_cast<Number>(number);
    return true;
  }
  *problem = describe(config, section, key, text, why);
  return false;
}

// metrics_listen: left out keeps the default, set empty turns it off.
bool readListen(iniConfig& config, std::string* value, std::string* problem) {
  if (!config.hasKey("KOVA", "metrics_listen")) return true;
  const std::string text = config.getKey("KOVA", "metrics_listen");
  const size_t begin = text.find_first_not_of(" \t\r");
  *value = begin == std::string::npos
               ? ""
               : text.substr(begin, text.find_last_not_of(" \t\r") + 1 - begin);
  const std::string why = metricsListenProblem(*value);
  if (!why.empty()) *problem = describe(config, "KOVA", "metrics_listen", text, why);
  return why.empty();
}

}  // namespace

CollectorSettings readCollectorSettings(iniConfig& config) {
  CollectorSettings settings;
  settings.file_info = config.getKey("LOG", "log_info_file");
  settings.daemon_log = config.getKey("LOG", "log_daemon_file");
  settings.plugin_dir = config.getKey("KOVA", "plugin_dir");
  settings.plugin_dirs = parsePluginDirs(settings.plugin_dir);
  settings.connectLine = buildConnectLine(config, "kovaFlowCollector");
  std::string* problem = &settings.problem;
  readRequired(config, "KOVA", "core_number", 1, &settings.core_number, problem) &&
      readRequired(config, "KOVA", "thread_number", 1, &settings.nbr_max_thread, problem) &&
      readRequired(config, "KOVA", "load_mod", 1, &settings.modulo_rand, problem) &&
      readRequired(config, "KOVA", "interval_check_update", 1, &settings.wait_load_delete_thread,
                   problem) &&
      readOptional(config, "KOVA", "plugin_timeout", 0, &settings.plugin_timeout, problem) &&
      readOptional<size_t>(config, "KOVA", "plugin_output_max", 1, &settings.plugin_output_max,
                           problem) &&
      readOptional<size_t>(config, "KOVA", "result_backlog", 0, &settings.result_backlog,
                           problem) &&
      readOptional<size_t>(config, "KOVA", "result_backlog_bytes", 1,
                           &settings.result_backlog_bytes, problem) &&
      readListen(config, &settings.metrics_listen, problem) &&
      readRequired(config, "POSTGRESQL", "connection_number", 1, &settings.connection_number,
                   problem);
  return settings;
}

std::string collectorSettingsText(iniConfig& config, const CollectorSettings& settings) {
  const std::pair<const char*, std::string> lines[] = {
      {"LOG.log_info_file", settings.file_info},
      {"LOG.log_daemon_file", settings.daemon_log},
      {"KOVA.core_number", std::to_string(settings.core_number)},
      {"KOVA.thread_number", std::to_string(settings.nbr_max_thread)},
      {"KOVA.load_mod", std::to_string(settings.modulo_rand)},
      {"KOVA.interval_check_update", std::to_string(settings.wait_load_delete_thread)},
      {"KOVA.plugin_timeout", std::to_string(settings.plugin_timeout)},
      {"KOVA.plugin_output_max", std::to_string(settings.plugin_output_max)},
      {"KOVA.result_backlog", std::to_string(settings.result_backlog)},
      {"KOVA.result_backlog_bytes", std::to_string(settings.result_backlog_bytes)},
      {"KOVA.plugin_dir", settings.plugin_dir},
      {"KOVA.metrics_listen", settings.metrics_listen},
      {"KOVA.node_name", trim(config.getKey("KOVA", "node_name"))},
      {"KOVA.node_channels", trim(config.getKey("KOVA", "node_channels"))},
      {"POSTGRESQL.connection_number", std::to_string(settings.connection_number)},
  };
  std::string text;
  for (const auto& [name, value] : lines) text += std::string(name) + "=" + value + "\n";
  return text + connectionSettingsText(config);
}
