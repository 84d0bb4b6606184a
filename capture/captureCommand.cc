// Capture tool command lines, version reading and channel checks.
#include "captureCommand.h"

#include <cctype>

#include "log.h"

namespace {

bool isPlainDecimal(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text)
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

// Reads digits at text[*position], moving past them; -1 when there are none.
int readNumberAt(const std::string& text, std::string::size_type* position) {
  const std::string::size_type start = *position;
  while (*position < text.size() && std::isdigit(static_cast<unsigned char>(text[*position])) &&
         *position - start < 6)
    ++*position;
  if (*position == start) return -1;
  return std::stoi(text.substr(start, *position - start));
}

std::string versionTextAt(const std::string& output, std::string::size_type start) {
  std::string::size_type end = start;
  while (end < output.size() && !std::isspace(static_cast<unsigned char>(output[end]))) ++end;
  return output.substr(start, end - start);
}

}  // namespace

bool runBounded(service& command) {
  command.timeout_s = kCommandTimeout;
  command.execute();
  if (!command.timed_out) return true;
  write_log("ERR", "command timed out after " + std::to_string(kCommandTimeout) +
                       " s and was killed: " + command.plugin_path + " " + command.parameter);
  return false;
}

bool isNetflow(const Channel& channel) { return channel.protocol == "netflow"; }

std::string searchKey(const std::string& port) { return "-p " + port + " "; }

std::string channelDirectory(const std::string& datadir, const std::string& name) {
  return datadir + "/" + name;
}

std::string pidFilePath(const std::string& piddir, const std::string& port) {
  return piddir + "/p" + port + ".pid";
}

std::string unusableChannelReason(const Channel& channel) {
  if (!isPlainDecimal(channel.port) || channel.port.size() > 5 || std::stoi(channel.port) < 1 ||
      std::stoi(channel.port) > 65535)
    return "port '" + channel.port + "' is not a UDP port number";
  // The name becomes a directory under datadir: it must stay one level
  // below it.
  if (channel.name.empty() || channel.name == "." || channel.name == ".." ||
      channel.name.find('/') != std::string::npos)
    return "name '" + channel.name + "' cannot name a capture directory";
  return std::string();
}

ToolVersion parseToolVersion(const std::string& output) {
  ToolVersion version;
  std::string::size_type position = output.find("Version:");
  if (position == std::string::npos) return version;
  position += 8;
  while (position < output.size() && output[position] == ' ') ++position;
  const std::string::size_type start = position;
  version.major = readNumberAt(output, &position);
  if (version.major < 0 || position >= output.size() || output[position] != '.') return {};
  ++position;
  version.minor = readNumberAt(output, &position);
  if (version.minor < 0) return {};
  version.known = true;
  version.text = versionTextAt(output, start);
  return version;
}

StartForm startFormFor(const ToolVersion& version) {
  const bool legacy =
      version.known && (version.major < 1 || (version.major == 1 && version.minor <= 6));
  return legacy ? StartForm::kLegacy : StartForm::kDirectory;
}

std::string startFormText(StartForm form) {
  return form == StartForm::kLegacy ? "-w -D ... -l <directory> (1.6 and older)"
                                    : "-D ... -w <directory> (1.7 and newer)";
}

std::vector<std::string> startArguments(StartForm form, const Channel& channel,
                                        const std::string& piddir, const std::string& directory) {
  std::vector<std::string> arguments;
  if (form == StartForm::kLegacy) arguments.push_back("-w");
  const std::vector<std::string> common = {
      "-D", "-p", channel.port, "-B", "200000", "-S", "1", "-P", pidFilePath(piddir, channel.port),
      "-z", "-I", channel.name};
  arguments.insert(arguments.end(), common.begin(), common.end());
  arguments.push_back(form == StartForm::kLegacy ? "-l" : "-w");
  arguments.push_back(directory);
  return arguments;
}

std::string joinArguments(const std::vector<std::string>& arguments) {
  std::string text;
  for (const std::string& argument : arguments) {
    if (!text.empty()) text += " ";
    text += argument;
  }
  return text;
}
