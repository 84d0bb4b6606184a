// The capture supervisor's configuration keys, read in the program's order.
#pragma once

#include <string>
#include <vector>

#include "iniConfig.h"

// Values exactly as the file holds them; nothing is validated or defaulted
// here (a missing key is an empty string).
struct CaptureSettings {
  std::string datadir;           // [KOVA] base of the channels' capture directories
  std::string piddir;            // [KOVA] directory of the tools' pid files
  std::string ps;                // [BINARY] process lister
  std::string netflows;          // [BINARY] nfcapd
  std::string sflows;            // [BINARY] sfcapd
  std::string metrics_textfile;  // [KOVA] path for node_exporter; empty: none
  // [KOVA] node_name and node_channels: with a node name, only the
  // channels this host claims are started, checked and stopped here.
  std::string node_name;
  std::vector<std::string> node_channels;

  // True for every channel without a node name, else for this node's own.
  bool capturesHere(const std::string& channel) const;
};

// "log_daemon_capture" of [LOG]. It is the first read of the file, so it is
// the call that raises FileException when the file cannot be opened.
std::string readLogPath(iniConfig& config);

// datadir and piddir from [KOVA], then ps, netflows and sflows from
// [BINARY], then node_name and node_channels from [KOVA].
CaptureSettings readCaptureSettings(iniConfig& config);

// The [KOVA] and [BINARY] settings as "SECTION.key=value" lines (for -t);
// node_channels as the file holds it.
std::string captureSettingsText(const CaptureSettings& settings, iniConfig& config);
