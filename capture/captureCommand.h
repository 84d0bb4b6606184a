// The texts that tie a channel to its capture tool: the search key, the
// paths derived from the channel, and the tool's start arguments.
#pragma once

#include <string>
#include <vector>

#include "service.h"

// Every command of a pass (ps, a version probe, a tool start) ends within
// this many seconds: past it its process group is killed.
inline constexpr int kCommandTimeout = 30;

// Runs command within kCommandTimeout seconds; throws what execute throws.
// False, after an "ERR" line naming the command, when it ran out of time.
bool runBounded(service& command);

// One row of flows_channel, values as the database returned them.
struct Channel {
  std::string name;
  std::string protocol;
  std::string port;
};

// nfcapd serves exactly "netflow"; every other protocol text goes to sfcapd.
bool isNetflow(const Channel& channel);

// "-p <port> ": the blank keeps port 205 from matching a tool on 2055.
std::string searchKey(const std::string& port);
std::string channelDirectory(const std::string& datadir, const std::string& name);
std::string pidFilePath(const std::string& piddir, const std::string& port);

// Why a channel cannot be given a capture tool (a port that is not a UDP
// port number, a name that is not one directory level); empty when it can.
std::string unusableChannelReason(const Channel& channel);

// What `<tool> -V` told about the tool.
struct ToolVersion {
  bool known = false;
  int major = 0;
  int minor = 0;
  std::string text;  // "1.7.1"; empty when unknown
};

// Reads "...Version: <major>.<minor>..." from the tool's -V output.
ToolVersion parseToolVersion(const std::string& output);

// nfdump 1.6 and older take -w as a flag and the directory with -l; from
// 1.7 on -w takes the directory and -l is a deprecated leftover.
enum class StartForm { kLegacy, kDirectory };

// kLegacy only for a version read as 1.6 or older: an unreadable version is
// far more likely a current tool than an old one.
StartForm startFormFor(const ToolVersion& version);
std::string startFormText(StartForm form);

// Arguments after the tool path. Kept as a list rather than a parameter
// string so that configured paths holding blanks stay one argument each.
std::vector<std::string> startArguments(StartForm form, const Channel& channel,
                                        const std::string& piddir, const std::string& directory);

// The arguments joined by single blanks, as logged.
std::string joinArguments(const std::vector<std::string>& arguments);
