// Every configuration key of the scheduler, read and checked in one place.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "iniConfig.h"

struct CollectorSettings {
  std::string file_info;   // [LOG] log_info_file: the status file
  std::string daemon_log;  // [LOG] log_daemon_file
  // [KOVA]; the first four are required and at least 1.
  int core_number = 0;                            // core_number: core records
  int nbr_max_thread = 0;                         // thread_number: workers per record
  int modulo_rand = 0;                            // load_mod: spread of first due times, seconds
  int wait_load_delete_thread = 0;                // interval_check_update: watcher period, seconds
  int plugin_timeout = 60;                        // seconds, 0: no limit
  size_t plugin_output_max = 1048576;             // bytes, at least 1
  size_t result_backlog = 100000;                 // results waiting to be written
  size_t result_backlog_bytes = 268435456;        // their bytes, at least 1
  std::string plugin_dir;                         // ":"-separated; empty: any path runs
  std::vector<std::string> plugin_dirs;           // plugin_dir parsed (parsePluginDirs)
  std::string metrics_listen = "127.0.0.1:9753";  // address:port; empty: no endpoint
  // [POSTGRESQL]
  int connection_number = 0;  // required, at least 1
  std::string connectLine;    // buildConnectLine of the section
  // Empty when every value is usable; otherwise the "ERR" text for the first
  // one that is not (file, section, key and value).
  std::string problem;
};

// Reads every key. The required numbers are read the way stoi reads them
// (leading blanks, digits, the rest ignored); the optional ones must be
// whole non-negative numbers. Never throws for a bad value: see problem.
CollectorSettings readCollectorSettings(iniConfig& config);

// The effective settings for -t: "SECTION.key=value" a line, defaults
// included, every key above plus node_name, node_channels and the
// connection keys (the password as "***").
std::string collectorSettingsText(iniConfig& config, const CollectorSettings& settings);
