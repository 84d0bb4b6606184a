// Configuration keys of kovaFlowCapture: one place that knows their names.
#include "captureSettings.h"

#include "convertTo.h"
#include "nodeChannels.h"

std::string readLogPath(iniConfig& config) { return config.getKey("LOG", "log_daemon_capture"); }

CaptureSettings readCaptureSettings(iniConfig& config) {
  CaptureSettings settings;
  settings.datadir = config.getKey("KOVA", "datadir");
  settings.piddir = config.getKey("KOVA", "piddir");
  settings.ps = config.getKey("BINARY", "ps");
  settings.netflows = config.getKey("BINARY", "netflows");
  settings.sflows = config.getKey("BINARY", "sflows");
  settings.node_name = trim(config.getKey("KOVA", "node_name"));
  settings.node_channels = parseNodeChannels(config.getKey("KOVA", "node_channels"));
  settings.metrics_textfile = trim(config.getKey("KOVA", "metrics_textfile"));
  return settings;
}

bool CaptureSettings::capturesHere(const std::string& channel) const {
  return node_name.empty() || channelMatches(node_channels, channel);
}

std::string captureSettingsText(const CaptureSettings& settings, iniConfig& config) {
  return "KOVA.datadir=" + settings.datadir + "\nKOVA.piddir=" + settings.piddir +
         "\nKOVA.node_name=" + settings.node_name +
         "\nKOVA.node_channels=" + trim(config.getKey("KOVA", "node_channels")) +
         "\nKOVA.metrics_textfile=" + settings.metrics_textfile + "\nBINARY.ps=" + settings.ps +
         "\nBINARY.netflows=" + settings.netflows + "\nBINARY.sflows=" + settings.sflows + "\n";
}
