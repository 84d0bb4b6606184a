// ChannelStarter: a tool started with -D detaches and its parent returns at
// once, so the runner's result says little; the pid file is what tells
// whether the tool really runs.
#include "channelStarter.h"

#include <exception>

#include "createDirectoryIfNotExist.h"
#include "exceptions.h"
#include "log.h"
#include "pidFile.h"
#include "service.h"
#include "toolStderr.h"

namespace {

ToolVersion askVersion(const std::string& toolPath) {
  service probe;
  probe.name = "GET VERSION";
  probe.plugin_id = 1;
  probe.plugin_path = toolPath;
  probe.Setparameter("-V");
  try {
    if (!runBounded(probe)) return ToolVersion();
  } catch (const serviceException&) {
    return ToolVersion();
  }
  return parseToolVersion(probe.output);
}

// The runner's outcome is not examined: a detached tool's parent reports
// nothing useful, and failures are found through the pid file instead.
void runStart(const std::string& toolPath, const std::vector<std::string>& arguments) {
  service command;
  command.name = "CREATE NFCAPD PROCESS";
  command.plugin_id = 1;
  command.plugin_path = toolPath;
  command.parameter = joinArguments(arguments);
  command.parameter_list = arguments;
  // The tool detaches: what it leaves running once its launcher has
  // exited is the capture process itself.
  command.spare_descendants = true;
  write_log("INFO", "nfcapd start channel: " + toolPath + " " + command.parameter);
  try {
    runBounded(command);
  } catch (const serviceException& error) {
    write_log("INFO", std::string("SEARCH sfcapd processus: ") + error.what());
  }
}

}  // namespace

ChannelStarter::ChannelStarter(const CaptureSettings& settings) : settings_(settings) {}

StartForm ChannelStarter::formFor(const std::string& toolPath) {
  auto known = forms_.find(toolPath);
  if (known != forms_.end()) return known->second;
  const ToolVersion version = askVersion(toolPath);
  const StartForm form = startFormFor(version);
  write_log("INFO", "capture tool " + toolPath + " version " +
                        (version.known ? version.text : std::string("unknown")) +
                        ", start options " + startFormText(form));
  forms_.emplace(toolPath, form);
  return form;
}

bool ChannelStarter::makeDirectory(const Channel& channel, const std::string& directory) {
  try {
    createDirectoryIfNotExist(directory);
    return true;
  } catch (const std::exception& error) {
    write_log("ERR", "channel " + channel.name + ": cannot create capture directory " + directory +
                         ": " + error.what());
    return false;
  }
}

bool ChannelStarter::start(const Channel& channel) {
  const std::string reason = unusableChannelReason(channel);
  if (!reason.empty()) {
    write_log("ERR", "channel " + channel.name + " not started: " + reason);
    return false;
  }
  const std::string directory = channelDirectory(settings_.datadir, channel.name);
  if (!makeDirectory(channel, directory)) return false;
  const std::string toolPath = isNetflow(channel) ? settings_.netflows : settings_.sflows;
  const std::vector<std::string> arguments =
      startArguments(formFor(toolPath), channel, settings_.piddir, directory);
  const std::string pidFile = pidFilePath(settings_.piddir, channel.port);
  const pid_t kept = removeLeftoverPidFile(pidFile);
  ToolStderr toolStderr;
  runStart(toolPath, arguments);
  const std::string said = toolStderr.take();
  if (waitForCaptureTool(pidFile, kept)) return true;
  write_log("ERR", "channel " + channel.name + " port " + channel.port + ": " + toolPath +
                       " did not start (no running capture tool in " + pidFile + ")" +
                       (said.empty() ? "" : ": " + said));
  return false;
}
